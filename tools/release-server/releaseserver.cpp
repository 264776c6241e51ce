// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "releaseserver.h"

#include "releasehttpserver.h"

#include <QFile>
#include <QHostAddress>
#include <QMetaObject>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QThread>

namespace {

// QSslKey must be told the algorithm; a maker's key is RSA or EC, and only the right guess loads.
QSslKey readPrivateKey(const QString &keyFile)
{
    QFile file(keyFile);
    if (!file.open(QIODevice::ReadOnly))
        return QSslKey();
    const QByteArray pem = file.readAll();
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec}) {
        const QSslKey key(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
        if (!key.isNull())
            return key;
    }
    return QSslKey();
}

} // namespace

ReleaseServer::ReleaseServer(const QString &releaseFolder)
    : thread(new QThread), threadAnchor(new QObject)
{
    // The server is made on its own thread so that everything it creates (listening and
    // connection sockets, timers of delayed answers) belongs to that thread from the start.
    thread->setObjectName(QStringLiteral("release-server"));
    threadAnchor->moveToThread(thread);
    thread->start();
    QMetaObject::invokeMethod(
        threadAnchor, [this, releaseFolder] { server = new ReleaseHttpServer(releaseFolder); },
        Qt::BlockingQueuedConnection);
}

ReleaseServer::~ReleaseServer()
{
    // The server, its sockets and its pending delayed answers end on their thread, before it
    // stops.
    QMetaObject::invokeMethod(
        threadAnchor, [this] { delete server; }, Qt::BlockingQueuedConnection);
    thread->quit();
    thread->wait();
    delete threadAnchor;
    delete thread;
}

bool ReleaseServer::useTls(const QString &certificateFile, const QString &keyFile)
{
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(certificateFile, QSsl::Pem);
    const QSslKey key = readPrivateKey(keyFile);
    if (chain.isEmpty() || key.isNull())
        return false;

    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    // The server's settings belong to its thread, like everything else it owns.
    QMetaObject::invokeMethod(
        threadAnchor, [this, configuration] { server->sslSetup(configuration); },
        Qt::BlockingQueuedConnection);
    tls = true;
    return true;
}

quint16 ReleaseServer::start(quint16 port)
{
    if (listeningPort != 0)
        return listeningPort;

    quint16 bound = 0;
    QMetaObject::invokeMethod(
        threadAnchor,
        [this, port, &bound] { bound = server->listen(QHostAddress::LocalHost, port); },
        Qt::BlockingQueuedConnection);
    listeningPort = bound;
    return listeningPort;
}

QString ReleaseServer::baseUrl(const QString &host) const
{
    return (tls ? QStringLiteral("https://") : QStringLiteral("http://")) + host +
           QLatin1Char(':') + QString::number(listeningPort);
}

void ReleaseServer::setFaults(const ServerFaults &faults)
{
    server->setFaults(faults);
}

void ReleaseServer::setLogging(bool enabled)
{
    server->setLogging(enabled);
}

QStringList ReleaseServer::requests() const
{
    return server->requests();
}

void ReleaseServer::clearRequests()
{
    server->clearRequests();
}
