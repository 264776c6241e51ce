// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "boundedreply.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QVariant>

#if QT_CONFIG(ssl)
#include <QSslError>
#endif

namespace {

// The statuses that bring the whole resource: OK, and OK through a transforming proxy. A 206
// carries only part of it, and no other 2xx carries an image or a catalogue.
constexpr int httpOk = 200;
constexpr int httpNonAuthoritative = 203;
constexpr int httpSuccessFirst = 200;
constexpr int httpSuccessLast = 299;
constexpr int httpRedirectFirst = 300;
constexpr int httpRedirectLast = 399;

constexpr qint64 bytesPerKibibyte = 1024;
// What Qt may hold of an answer before it is read here. Without a limit Qt's network thread takes
// in all a fast server sends, whatever the cap says, before the cap can be checked: gigabytes at
// loopback speed. With it, the network thread stops reading the socket until this is read.
constexpr qint64 readBufferBytes = 64 * bytesPerKibibyte;
// What one read takes: read() reserves room for all it is asked for, so never the whole cap.
constexpr qint64 readPieceBytes = 64 * bytesPerKibibyte;
// The one answer Qt decompresses itself carries one of these; anything else is named as unknown
// rather than echoed, as it comes from the server.
const QList<QByteArray> knownEncodings = {"gzip", "deflate", "br", "zstd"};
const QByteArray contentEncodingHeader = QByteArrayLiteral("Content-Encoding");
constexpr qsizetype longestQuotedText = 200;

// Qt's words about an answer may quote what the server sent: only printable ASCII of it goes on,
// so nothing of the server's can drive a terminal or a rich-text line.
QString printable(const QString &text)
{
    constexpr char16_t firstPrintable = 0x20;
    constexpr char16_t lastPrintable = 0x7E;
    QString kept;
    for (const QChar character : text.left(longestQuotedText)) {
        const char16_t code = character.unicode();
        kept += code >= firstPrintable && code <= lastPrintable ? character : QLatin1Char('?');
    }
    return kept;
}
constexpr qint64 bytesPerMebibyte = 1024 * 1024;
constexpr int msPerSecond = 1000;
constexpr int msPerMinute = 60 * msPerSecond;
// Below this a limit reads better in seconds ("60 s" rather than "1 min").
constexpr int shortestMinutesMs = 2 * msPerMinute;

} // namespace

BoundedReply::BoundedReply(QNetworkReply *networkReply, const Limits &replyLimits)
    : QObject(networkReply), reply(networkReply), limits(replyLimits)
{
    reply->setReadBufferSize(readBufferBytes);
    connect(reply, &QNetworkReply::metaDataChanged, this, &BoundedReply::checkAnnouncedLength);
    connect(reply, &QNetworkReply::readyRead, this, &BoundedReply::readArrived);
    connect(reply, &QNetworkReply::finished, this, &BoundedReply::finish);
#if QT_CONFIG(ssl)
    connect(reply, &QNetworkReply::sslErrors, this, [this](const QList<QSslError> &errors) {
        if (certificateProblem.isEmpty() && !errors.isEmpty())
            certificateProblem = errors.first().errorString();
    });
#endif

    // Any sign of life from the server (headers, a redirect, body bytes) restarts the idle limit;
    // the whole limit runs from the request, however busy the server keeps the line.
    idleTimer.setSingleShot(true);
    wholeTimer.setSingleShot(true);
    connect(&idleTimer, &QTimer::timeout, this, [this] {
        fail(DownloadFailure::timeout,
             QStringLiteral("no data for ") + durationText(limits.idleMs));
    });
    connect(&wholeTimer, &QTimer::timeout, this, [this] {
        fail(DownloadFailure::timeout,
             QStringLiteral("not complete after ") + durationText(limits.wholeMs));
    });
    if (limits.idleMs > 0) {
        const auto stillAlive = [this] { idleTimer.start(limits.idleMs); };
        connect(reply, &QNetworkReply::downloadProgress, this, stillAlive);
        connect(reply, &QNetworkReply::redirected, this, stillAlive);
        stillAlive();
    }
    if (limits.wholeMs > 0)
        wholeTimer.start(limits.wholeMs);
}

const BoundedReply *BoundedReply::of(const QNetworkReply *reply)
{
    return reply->findChild<BoundedReply *>(QString(), Qt::FindDirectChildrenOnly);
}

QString BoundedReply::sizeText(qint64 bytes)
{
    if (bytes > 0 && bytes % bytesPerMebibyte == 0)
        return QStringLiteral("%1 MiB").arg(bytes / bytesPerMebibyte);
    if (bytes > 0 && bytes % bytesPerKibibyte == 0)
        return QStringLiteral("%1 KiB").arg(bytes / bytesPerKibibyte);
    return QStringLiteral("%1 bytes").arg(bytes);
}

QString BoundedReply::durationText(int ms)
{
    if (ms >= shortestMinutesMs && ms % msPerMinute == 0)
        return QStringLiteral("%1 min").arg(ms / msPerMinute);
    if (ms > 0 && ms % msPerSecond == 0)
        return QStringLiteral("%1 s").arg(ms / msPerSecond);
    return QStringLiteral("%1 ms").arg(ms);
}

void BoundedReply::checkAnnouncedLength()
{
    if (limits.idleMs > 0)
        idleTimer.start(limits.idleMs);
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid() && announced.toLongLong() > limits.maximumBytes)
        fail(DownloadFailure::tooLarge,
             QStringLiteral("larger than ") + sizeText(limits.maximumBytes));
}

void BoundedReply::readArrived()
{
    if (outcome.isFailure())
        return;
    // Read in pieces until nothing is left: a compressed answer is unpacked as it is read, and
    // Qt then announces only a byte of it as available and no further readyRead for the rest.
    // One byte past the limit is enough to know it is passed; the rest is never taken in.
    for (;;) {
        const qint64 room = limits.maximumBytes - received.size() + 1;
        const QByteArray piece = reply->read(qMin(room, readPieceBytes));
        if (piece.isEmpty())
            return;
        received += piece;
        if (received.size() > limits.maximumBytes) {
            fail(DownloadFailure::tooLarge,
                 QStringLiteral("larger than ") + sizeText(limits.maximumBytes));
            return;
        }
    }
}

void BoundedReply::fail(const QString &code, const QString &detail)
{
    if (outcome.isFailure())
        return;
    outcome.code = code;
    outcome.detail = detail;
    outcome.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    received.clear();
    idleTimer.stop();
    wholeTimer.stop();
    // Finishes the reply at once: its owner hears finished() inside this call and finds the
    // failure already here.
    reply->abort();
}

void BoundedReply::finish()
{
    idleTimer.stop();
    wholeTimer.stop();
    if (outcome.isFailure())
        return;
    // Bytes that came with the end of the reply, before any readyRead for them.
    if (reply->isOpen())
        readArrived();
    if (outcome.isFailure())
        return;
    outcome = classify();
    if (outcome.isFailure())
        received.clear();
}

// Qt reports a body it cannot unpack as "Decompression failed: " followed by the unpacker's own
// words, which are often none at all. Say what was being unpacked, and what Qt said when it said
// anything.
QString BoundedReply::decompressionProblem() const
{
    const QByteArray announced = reply->rawHeader(contentEncodingHeader).trimmed().toLower();
    const QString encoding = knownEncodings.contains(announced)
                                 ? QString::fromLatin1(announced)
                                 : QStringLiteral("an unknown encoding");
    QString text = QStringLiteral("the server's answer, compressed with %1, could not be "
                                  "decompressed: it is damaged or unpacks past the safety limit")
                       .arg(encoding);
    const QString said = reply->errorString();
    const qsizetype colon = said.indexOf(QLatin1Char(':'));
    const QString detail = colon < 0 ? QString() : said.mid(colon + 1).trimmed();
    if (!detail.isEmpty())
        text += QStringLiteral(" (") + printable(detail) + QLatin1Char(')');
    return text;
}

DownloadFailure BoundedReply::classify() const
{
    const QVariant statusValue = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const int status = statusValue.toInt();
    const auto failure = [status](const QString &code, const QString &detail) {
        return DownloadFailure{code, detail, status};
    };

    switch (reply->error()) {
    case QNetworkReply::SslHandshakeFailedError:
        if (!certificateProblem.isEmpty())
            return failure(DownloadFailure::tls,
                           QStringLiteral("server certificate not trusted: ") + certificateProblem);
        return failure(DownloadFailure::tls,
                       QStringLiteral("TLS handshake failed: ") + reply->errorString());
    case QNetworkReply::InsecureRedirectError:
        return failure(DownloadFailure::tls, QStringLiteral("redirect from https to http refused"));
    case QNetworkReply::TooManyRedirectsError:
        return failure(DownloadFailure::httpStatusCode, QStringLiteral("too many redirects"));
    default:
        break;
    }

    // A redirect that was being followed leaves its 3xx behind when the next server cannot be
    // reached at all: the reason is then that failure, not the redirect.
    const bool redirectNotReached = status >= httpRedirectFirst && status <= httpRedirectLast &&
                                    reply->error() != QNetworkReply::NoError &&
                                    reply->error() <= QNetworkReply::UnknownNetworkError;
    if (statusValue.isValid() && status != httpOk && status != httpNonAuthoritative &&
        !redirectNotReached) {
        if (status >= httpSuccessFirst && status <= httpSuccessLast)
            return failure(DownloadFailure::httpStatusCode,
                           QStringLiteral("HTTP status %1 instead of %2").arg(status).arg(httpOk));
        return failure(DownloadFailure::httpStatusCode,
                       QStringLiteral("server answered HTTP %1").arg(status));
    }

    switch (reply->error()) {
    case QNetworkReply::NoError:
        if (received.isEmpty())
            return failure(DownloadFailure::empty, QStringLiteral("the server sent no data"));
        return failure(QString(), QString());
    case QNetworkReply::ConnectionRefusedError:
        return failure(DownloadFailure::connection, QStringLiteral("connection refused"));
    case QNetworkReply::RemoteHostClosedError:
        return failure(DownloadFailure::connection,
                       QStringLiteral("connection closed before the end"));
    case QNetworkReply::HostNotFoundError:
        return failure(DownloadFailure::connection,
                       QStringLiteral("server name not found: ") + reply->url().host());
    case QNetworkReply::TimeoutError:
        return failure(DownloadFailure::timeout, QStringLiteral("the connection timed out"));
    default:
        // Qt reports a body it cannot decompress as a content or protocol error.
        if (reply->hasRawHeader(contentEncodingHeader) &&
            (reply->error() == QNetworkReply::UnknownContentError ||
             reply->error() == QNetworkReply::ProtocolFailure))
            return failure(DownloadFailure::connection, decompressionProblem());
        return failure(DownloadFailure::connection, printable(reply->errorString()));
    }
}
