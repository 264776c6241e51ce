// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "releasehttpserver.h"

#include <QFile>
#include <QFileInfo>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QMutexLocker>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <cstdio>
#include <memory>

namespace {

const QString cataloguePathSuffix = QStringLiteral("/lumetrarelease/");
const QString signaturePathSuffix = QStringLiteral("/lumetrarelease.minisig");
const QString scriptPathSuffix = QStringLiteral("/lumetra.php");
const QString versionQueryKey = QStringLiteral("version");
const QString catalogueFileName = QStringLiteral("catalogue.json");
const QString signatureFileName = QStringLiteral("catalogue.json.minisig");

constexpr int statusOk = 200;
constexpr int statusFound = 302;
constexpr int statusBadRequest = 400;
constexpr int statusNotFound = 404;
constexpr int statusMethodNotAllowed = 405;

// An endless body goes out in pieces of this size whenever the socket has sent the last one, so
// the server's own buffer stays small however fast the client reads.
constexpr qint64 endlessPieceBytes = 64 * 1024;
constexpr int endlessPieceIntervalMs = 1;

// Path and query as the client sent them, the form the request log and `pathContains` use.
QString targetOf(const QUrl &url)
{
    QString target = url.path();
    if (url.hasQuery())
        target += QLatin1Char('?') + url.query();
    return target;
}

ReleaseHttpServer::Answer plainAnswer(int status, const QByteArray &text)
{
    ReleaseHttpServer::Answer answer;
    answer.status = status;
    answer.headers.append({QByteArrayLiteral("Content-Type"), QByteArrayLiteral("text/plain")});
    answer.body = text;
    return answer;
}

// A query value decoded as the real server's script reads it: "+" is a space, then every %XX is
// the byte it names, once. A client must therefore send "+", "&", "#" and "%" encoded to have
// them taken as part of a file name.
QString formValue(const QString &encoded)
{
    QString value = encoded;
    value.replace(QLatin1Char('+'), QLatin1Char(' '));
    return QUrl::fromPercentEncoding(value.toUtf8());
}

// A relative path whose every segment names an entry below the folder: no "..", no ".", no
// empty segment, no backslash and no leading slash that would make it absolute.
bool isSafeRelativePath(const QString &path)
{
    if (path.isEmpty() || path.contains(QLatin1Char('\\')))
        return false;
    const QStringList segments = path.split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        if (segment.isEmpty() || segment == QLatin1String(".") || segment == QLatin1String(".."))
            return false;
    }
    return true;
}

// Writes the body of a slow or endless answer bit by bit from the server's thread, until it is all
// out or the client hangs up (the socket, and the timer with it, are deleted then).
void stream(QTcpSocket *socket, const ReleaseHttpServer::Answer &answer)
{
    auto *timer = new QTimer(socket);
    QByteArray rest = answer.body;
    QObject::connect(timer, &QTimer::timeout, socket, [socket, timer, rest, answer]() mutable {
        if (socket->state() != QAbstractSocket::ConnectedState) {
            timer->deleteLater();
            return;
        }
        if (answer.endless) {
            if (socket->bytesToWrite() == 0)
                socket->write(QByteArray(endlessPieceBytes, 'E'));
            return;
        }
        socket->write(rest.left(1));
        rest.remove(0, 1);
        if (!rest.isEmpty())
            return;
        timer->deleteLater();
        if (answer.closeAfterBody)
            socket->disconnectFromHost();
    });
    timer->start(answer.endless ? endlessPieceIntervalMs : answer.trickleMs);
}

void send(QHttpServerResponder &responder, const ReleaseHttpServer::Answer &answer)
{
    responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(answer.status));
    for (const auto &header : answer.headers)
        responder.writeHeader(header.first, header.second);
    if (answer.endless) {
        // Without a length the body ends only when the connection does.
        responder.writeHeader(QByteArrayLiteral("Connection"), QByteArrayLiteral("close"));
    } else {
        const qint64 length = answer.contentLength >= 0 ? answer.contentLength : answer.body.size();
        responder.writeHeader(QByteArrayLiteral("Content-Length"), QByteArray::number(length));
    }
    if (answer.endless || answer.trickleMs > 0) {
        responder.writeBody(QByteArray());
        stream(responder.socket(), answer);
        return;
    }
    responder.writeBody(answer.body);
    if (answer.closeAfterBody)
        responder.socket()->disconnectFromHost();
}

} // namespace

ReleaseHttpServer::ReleaseHttpServer(const QString &releaseFolder, QObject *parent)
    : QAbstractHttpServer(parent), root(releaseFolder)
{
}

void ReleaseHttpServer::setFaults(const ServerFaults &newFaults)
{
    QMutexLocker locker(&mutex);
    faults = newFaults;
}

void ReleaseHttpServer::setLogging(bool enabled)
{
    QMutexLocker locker(&mutex);
    logging = enabled;
}

QStringList ReleaseHttpServer::requests() const
{
    QMutexLocker locker(&mutex);
    return requestLog;
}

void ReleaseHttpServer::clearRequests()
{
    QMutexLocker locker(&mutex);
    requestLog.clear();
}

ServerFaults ReleaseHttpServer::faultsFor(const QString &target) const
{
    QMutexLocker locker(&mutex);
    if (faults.pathContains.isEmpty() || target.contains(faults.pathContains))
        return faults;
    return ServerFaults();
}

QString ReleaseHttpServer::fileFor(const QString &branch, const QString &relativePath) const
{
    if (!isSafeRelativePath(branch) || !isSafeRelativePath(relativePath))
        return QString();
    // The segment checks keep the name inside the folder; the canonical check also catches a
    // symbolic link inside the folder that points out of it.
    const QFileInfo file(root.filePath(branch + QLatin1Char('/') + relativePath));
    const QString rootPath = root.canonicalPath();
    const QString filePath = file.canonicalFilePath();
    if (rootPath.isEmpty() || !file.isFile() || !filePath.startsWith(rootPath + QLatin1Char('/')))
        return QString();
    return filePath;
}

ReleaseHttpServer::Answer ReleaseHttpServer::answerFor(const QUrl &url) const
{
    const QString path = url.path(QUrl::FullyDecoded);
    if (!path.startsWith(QLatin1Char('/')))
        return plainAnswer(statusNotFound, QByteArrayLiteral("Not found\n"));

    QString fileName;
    QByteArray contentType;
    if (path.endsWith(cataloguePathSuffix)) {
        const QString branch = path.mid(1, path.size() - 1 - cataloguePathSuffix.size());
        fileName = fileFor(branch, catalogueFileName);
        contentType = QByteArrayLiteral("application/json");
    } else if (path.endsWith(signaturePathSuffix)) {
        const QString branch = path.mid(1, path.size() - 1 - signaturePathSuffix.size());
        fileName = fileFor(branch, signatureFileName);
        contentType = QByteArrayLiteral("text/plain");
    } else if (path.endsWith(scriptPathSuffix)) {
        const QUrlQuery query(url);
        if (!query.hasQueryItem(versionQueryKey))
            return plainAnswer(statusBadRequest, QByteArrayLiteral("Missing version\n"));
        const QString branch = path.mid(1, path.size() - 1 - scriptPathSuffix.size());
        fileName =
            fileFor(branch, formValue(query.queryItemValue(versionQueryKey, QUrl::FullyEncoded)));
        contentType = QByteArrayLiteral("application/octet-stream");
    }

    QFile file(fileName);
    if (fileName.isEmpty() || !file.open(QIODevice::ReadOnly))
        return plainAnswer(statusNotFound, QByteArrayLiteral("Not found\n"));

    Answer answer;
    answer.status = statusOk;
    answer.headers.append({QByteArrayLiteral("Content-Type"), contentType});
    answer.body = file.readAll();
    return answer;
}

bool ReleaseHttpServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const QString target = targetOf(request.url());
    {
        QMutexLocker locker(&mutex);
        requestLog.append(target);
    }

    const ServerFaults fault = faultsFor(target);
    if (fault.neverAnswer) {
        // The connection stays open and silent until the client gives up or the server stops.
        logAnswer(target, Answer{0, {}, {}});
        return true;
    }

    Answer answer;
    if (request.method() != QHttpServerRequest::Method::Get) {
        answer = plainAnswer(statusMethodNotAllowed, QByteArrayLiteral("Method not allowed\n"));
    } else if (fault.status != 0) {
        answer.status = fault.status;
        answer.headers.append({QByteArrayLiteral("Content-Type"), QByteArrayLiteral("text/html")});
        answer.body = fault.body;
    } else if (!fault.redirectTo.isEmpty()) {
        answer.status = statusFound;
        answer.headers.append({QByteArrayLiteral("Location"), fault.redirectTo.toUtf8()});
    } else if (fault.endlessBody) {
        answer.status = statusOk;
        answer.headers.append(
            {QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/octet-stream")});
        answer.endless = true;
    } else {
        answer = answerFor(request.url());
        if (fault.truncateTo >= 0 && fault.closeEarly) {
            answer.contentLength = answer.body.size();
            answer.closeAfterBody = true;
        }
        if (fault.truncateTo >= 0)
            answer.body.truncate(fault.truncateTo);
    }
    if (fault.announcedLength >= 0)
        answer.contentLength = fault.announcedLength;
    answer.trickleMs = fault.trickleMs;
    logAnswer(target, answer);

    if (fault.delayMs <= 0) {
        QHttpServerResponder responder = makeResponder(request, socket);
        send(responder, answer);
        return true;
    }

    // The socket is deleted if the client hangs up during the delay; the guard then drops the
    // answer. The responder keeps only the socket pointer, so it may outlive the socket unused.
    QPointer<QTcpSocket> guard(socket);
    auto responder = std::make_shared<QHttpServerResponder>(makeResponder(request, socket));
    QTimer::singleShot(fault.delayMs, this, [guard, responder, answer] {
        if (guard && guard->isOpen())
            send(*responder, answer);
    });
    return true;
}

void ReleaseHttpServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    QHttpServerResponder responder = makeResponder(request, socket);
    send(responder, plainAnswer(statusNotFound, QByteArrayLiteral("Not found\n")));
}

void ReleaseHttpServer::logAnswer(const QString &target, const Answer &answer) const
{
    {
        QMutexLocker locker(&mutex);
        if (!logging)
            return;
    }
    QByteArray outcome = QByteArrayLiteral("no answer (fault)");
    if (answer.endless)
        outcome = QByteArray::number(answer.status) + " (endless body)";
    else if (answer.status != 0)
        outcome = QByteArray::number(answer.status) + " (" +
                  QByteArray::number(answer.body.size()) + " bytes)";
    std::fprintf(stdout, "%s -> %s\n", target.toUtf8().constData(), outcome.constData());
    std::fflush(stdout);
}
