// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "nvkcloudinterface.h"

#include "boundedreply.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QUrlQuery>

namespace {

const QString catalogueSuffix = QStringLiteral("/lumetrarelease/");
const QString signatureSuffix = QStringLiteral("/lumetrarelease.minisig");
// The answer of a server that publishes no signature.
constexpr int httpNotFound = 404;
const QString versionQueryKey = QStringLiteral("version");
// Kept as it is in the query value: a file in a subfolder of the branch has always been named so,
// and a slash means nothing special inside a query.
const QByteArray keptInFileValue = QByteArrayLiteral("/");
const QString productKey = QStringLiteral("product");
const QString productName = QStringLiteral("Lumetra");
const QString versionsKey = QStringLiteral("versions");

// The catalogue as text up to its first NUL, so whatever the server appends after the document
// (padding of some servers) is ignored, while a NUL inside the document breaks it.
QJsonDocument catalogueDocument(const QByteArray &body)
{
    const qsizetype nul = body.indexOf('\0');
    const QString text = QString::fromUtf8(nul < 0 ? body : body.left(nul));
    return QJsonDocument::fromJson(text.toUtf8());
}

// A product object contributes its versions as soon as it has any key other than a "product"
// naming this device: that is how the catalogue has always been read.
bool contributesVersions(const QJsonObject &product)
{
    for (auto it = product.constBegin(); it != product.constEnd(); ++it) {
        if (it.key() != productKey || it.value() != QJsonValue(productName))
            return true;
    }
    return false;
}

// How a reply ended: its bounds say so for every reply this client made; any other reply (handed
// to a slot from outside) counts as failed.
DownloadFailure outcomeOf(const QNetworkReply *reply, QByteArray &body)
{
    const BoundedReply *bounded = BoundedReply::of(reply);
    if (!bounded)
        return DownloadFailure{DownloadFailure::connection, reply->errorString(), 0};
    body = bounded->body();
    return bounded->failure();
}

// A signature that is not there (a 404, or nothing at all) is an answer: the catalogue is then
// unsigned. Anything else that went wrong leaves the catalogue unchecked.
bool nothingPublished(const DownloadFailure &failure)
{
    return failure.code == DownloadFailure::empty ||
           (failure.code == DownloadFailure::httpStatusCode && failure.httpStatus == httpNotFound);
}

// Ends a request whose answer no longer counts: disconnected, so that answer is never taken,
// and deleted, which closes its connection. It is not aborted first: abort() records an error of
// its own, and when the network thread's own error for the reply is already queued (a refused
// connection, say), Qt warns on the terminal about the second one.
void endReply(QNetworkReply *reply, QObject *receiver)
{
    if (!reply)
        return;
    reply->disconnect(receiver);
    reply->deleteLater();
}

void abandon(QPointer<QNetworkReply> &pending, QObject *receiver)
{
    QNetworkReply *reply = pending;
    pending = nullptr;
    endReply(reply, receiver);
}

// The published value must be the digest's 64 hex digits, in either case, and nothing else:
// separators, spaces or a truncated value fail the file rather than being read leniently, so a
// maker's mistake stops the update instead of letting an unchecked image through. The digest is
// always 64 lower-case hex digits, so one exact comparison is also the format check; toLatin1()
// turns anything outside Latin-1 into '?', which no digest holds.
bool matchesChecksum(const QByteArray &body, const QString &published)
{
    const QByteArray digest = QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex();
    return digest == published.toLatin1().toLower();
}

DownloadFailure checksumFailure(const ReleaseVersion &version, const QString &key,
                                const QByteArray &bytes)
{
    const std::optional<QString> checksum = version.checksum(key);
    if (!checksum || matchesChecksum(bytes, *checksum))
        return {};
    return {DownloadFailure::checksumMismatch,
            QStringLiteral("checksum does not match the published one"), 0};
}

DownloadFailure notCatalogue()
{
    return {DownloadFailure::notCatalogue, QStringLiteral("the answer is not a release catalogue"),
            0};
}

} // namespace

QString NVKCloudInterface::defaultServerUrl()
{
    return QStringLiteral(LUMETRA_RELEASE_SERVER_URL);
}

NVKCloudInterface::NVKCloudInterface(QObject *parent)
    : NVKCloudInterface(defaultServerUrl(), parent)
{
}

NVKCloudInterface::NVKCloudInterface(const QString &url, QObject *parent)
    : QObject(parent), serverUrl(url), network(new QNetworkAccessManager(this))
{
    // Redirects are followed, but never from https to http: a catalogue or an image fetched
    // over TLS must not fall back to a connection anyone on the path can rewrite. Certificate
    // errors are never ignored; they fail the request like any other network error.
    network->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    jsonTimer.setSingleShot(true);
    connect(&jsonTimer, &QTimer::timeout, this, &NVKCloudInterface::timeoutJsonReply);
}

void NVKCloudInterface::setTrustedKeys(const QList<ReleaseSignature::PublicKey> &keys)
{
    trustedKeys = keys;
    signatureRequired = ReleaseSignature::isRequired() || !keys.isEmpty();
}

void NVKCloudInterface::requestVersions(const QString &branch, bool betas)
{
    abandonCatalogueRequest();
    versionTable.clear();
    versionList.clear();
    signatureCheck = ReleaseSignature::Result();
    showBetas = betas;
    emit versions_update();

    jsonTimer.setSingleShot(true);
    releaseBranch = branch;
    const QUrl url(serverUrl + QLatin1Char('/') + branch + catalogueSuffix, QUrl::TolerantMode);
    QNetworkReply *reply = network->get(QNetworkRequest(url));
    new BoundedReply(reply,
                     {limitsInUse.maximumCatalogueBytes, 0, limitsInUse.wholeCatalogueTimeoutMs});
    catalogueReply = reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { parseJsonReply(reply); });
    if (signatureRequired) {
        const QUrl signatureUrl(serverUrl + QLatin1Char('/') + branch + signatureSuffix,
                                QUrl::TolerantMode);
        QNetworkReply *signature = network->get(QNetworkRequest(signatureUrl));
        new BoundedReply(signature, {ReleaseSignature::maxSignatureBytes, 0,
                                     limitsInUse.wholeCatalogueTimeoutMs});
        signatureReply = signature;
        connect(signature, &QNetworkReply::finished, this,
                [this, signature] { signatureReceived(signature); });
    }
    jsonTimer.start(limitsInUse.jsonTimeoutMs);
}

void NVKCloudInterface::abandonCatalogueRequest()
{
    abandon(catalogueReply, this);
    abandon(signatureReply, this);
    catalogueOutcome.reset();
    catalogueBody.clear();
    signatureFailure = DownloadFailure();
    signatureBody.clear();
}

void NVKCloudInterface::timeoutJsonReply()
{
    // The request stays open: a late catalogue still fills the list.
    emit no_internet_connection();
}

void NVKCloudInterface::parseJsonReply(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != catalogueReply)
        return; // superseded by a newer request
    catalogueReply = nullptr;

    // A failed request or an error page is simply not a catalogue: the list stays empty, and
    // only callers that listen for catalogue_failed() hear why. Its signature cannot change that.
    QByteArray body;
    const DownloadFailure failure = outcomeOf(reply, body);
    if (failure.isFailure()) {
        abandonCatalogueRequest();
        jsonTimer.stop();
        emit catalogue_failed(failure);
        return;
    }
    catalogueOutcome = failure;
    catalogueBody = body;
    if (!signatureReply)
        readCatalogue();
}

void NVKCloudInterface::signatureReceived(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != signatureReply)
        return; // superseded by a newer request
    signatureReply = nullptr;
    const DownloadFailure failure = outcomeOf(reply, signatureBody);
    signatureFailure = nothingPublished(failure) ? DownloadFailure() : failure;
    if (catalogueOutcome)
        readCatalogue();
}

DownloadFailure NVKCloudInterface::checkSignature(const QByteArray &catalogue)
{
    if (signatureFailure.isFailure())
        return DownloadFailure{
            DownloadFailure::untrusted,
            QStringLiteral("its signature could not be fetched (%1)").arg(signatureFailure.detail),
            signatureFailure.httpStatus};
    signatureCheck = ReleaseSignature::verify(catalogue, signatureBody, trustedKeys);
    if (signatureCheck.ok())
        return DownloadFailure();
    return DownloadFailure{DownloadFailure::untrusted, signatureCheck.reason(), 0};
}

void NVKCloudInterface::readCatalogue()
{
    jsonTimer.stop();
    DownloadFailure failure = *catalogueOutcome;
    const QByteArray body = catalogueBody;
    // The signature covers the bytes exactly as they came: it is checked before any of them is
    // read as a catalogue.
    if (signatureRequired) {
        const DownloadFailure untrusted = checkSignature(body);
        if (untrusted.isFailure())
            failure = untrusted;
    }
    abandonCatalogueRequest(); // nothing is in flight any more: this clears what waited

    const QJsonDocument document = failure.isFailure() ? QJsonDocument() : catalogueDocument(body);
    if (!failure.isFailure() && !document.isArray())
        failure = notCatalogue();
    if (failure.isFailure()) {
        emit catalogue_failed(failure);
        return;
    }

    const QJsonArray products = document.array();
    for (const QJsonValue &element : products) {
        const QJsonObject product = element.toObject();
        if (!contributesVersions(product))
            continue;
        mergeVersions(product.value(versionsKey).toArray());
        emit versions_update();
        // A slot of versions_update() may have started a new request; this reply no longer counts.
        if (catalogueReply)
            return;
    }
    emit catalogue_received();
}

void NVKCloudInterface::mergeVersions(const QJsonArray &versions)
{
    for (const QJsonValue &element : versions) {
        const ReleaseVersion version(element.toObject());
        const QString tagName = version.tag();
        if (tagName.isEmpty())
            continue;
        if (version.isHidden() && !showBetas)
            continue;
        // A tag given twice is listed once, where the entry the table keeps (the later one)
        // stands: the item shown is the one whose files are downloaded, and the last item, which
        // the window preselects, names the same version as it always did.
        if (versionTable.contains(tagName))
            versionList.removeAll(tagName);
        versionTable.insert(tagName, version);
        versionList.append(tagName);
    }
}

QList<QString> NVKCloudInterface::firmwareKeys(const QString &version, QString hardwareId) const
{
    return versionTable.value(version).firmwareKeys(hardwareId);
}

void NVKCloudInterface::requestFirmware(const QString &version, const QString &hardwareId)
{
    abandonDownload();
    firmwareFiles.clear();
    ++downloadRequests;

    // Kept for the checksums: a catalogue refreshed during the download must not change what
    // the images are checked against.
    downloadVersion = versionTable.value(version);
    const QList<QString> keys = downloadVersion.firmwareKeys(hardwareId);
    // The signature vouches for a file's bytes only through its published checksum: a signed
    // version with a file the maker left unchecked is refused whole, before anything is fetched.
    const QString unchecked =
        signatureRequired ? downloadVersion.firmwareWithoutChecksum() : QString();
    for (const QString &key : keys) {
        const QUrl url = firmwareUrl(downloadVersion.value(key));
        firmwareFiles.append(FirmwareFile{key, url, QByteArray()});
        if (!unchecked.isEmpty())
            continue;

        QNetworkReply *reply = network->get(QNetworkRequest(url));
        // A server that stops sending, trickles or never ends must end the download, not leave
        // the update waiting with the meter's port held or fill the memory.
        new BoundedReply(reply, {limitsInUse.maximumImageBytes, limitsInUse.downloadTimeoutMs,
                                 limitsInUse.wholeImageTimeoutMs});
        firmwareReplies.append(reply);
        connect(reply, &QNetworkReply::finished, this,
                [this, reply] { getFirmwareFinished(reply); });
    }
    if (!keys.isEmpty() && !unchecked.isEmpty())
        refuseDownload(unchecked,
                       DownloadFailure{DownloadFailure::checksumMissing,
                                       QStringLiteral("the signed catalogue publishes no checksum "
                                                      "for ") +
                                           unchecked,
                                       0});
}

void NVKCloudInterface::refuseDownload(const QString &fileName, const DownloadFailure &reason)
{
    const quint64 request = downloadRequests;
    QMetaObject::invokeMethod(
        this,
        [this, request, fileName, reason] {
            if (request == downloadRequests)
                emit firmware_download_failed(fileName, reason);
        },
        Qt::QueuedConnection);
}

// The file value is one query value, whatever it holds: "&", "#", "+", "%" or a space in it are
// data for the server, never a second parameter, a fragment or an escape of its own.
QUrl NVKCloudInterface::firmwareUrl(const QString &fileValue) const
{
    QUrl url(serverUrl + QLatin1Char('/') + releaseBranch + QLatin1Char('/') + scriptName,
             QUrl::TolerantMode);
    QUrlQuery query;
    query.addQueryItem(versionQueryKey,
                       QString::fromLatin1(QUrl::toPercentEncoding(fileValue, keptInFileValue)));
    url.setQuery(query.query(QUrl::FullyEncoded), QUrl::StrictMode);
    return url;
}

void NVKCloudInterface::abandonDownload()
{
    const QList<QNetworkReply *> replies = firmwareReplies;
    firmwareReplies.clear();
    for (QNetworkReply *reply : replies)
        endReply(reply, this);
}

void NVKCloudInterface::getFirmwareFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    // The reply's place in the list ties it to its entry, whatever URL it ended at after
    // redirects; a reply not in the list belongs to an abandoned download.
    const qsizetype index = firmwareReplies.indexOf(reply);
    if (index < 0)
        return;
    firmwareReplies[index] = nullptr;

    // Only a real image may reach the device: an error page, a partial or empty body, one past
    // its bounds or bytes that differ from the published checksum are a failure, not an image.
    // A TLS certificate the system does not trust already ended the reply with an error.
    const QString fileName = firmwareFiles.at(index).name;
    QByteArray body;
    DownloadFailure failure = outcomeOf(reply, body);
    if (!failure.isFailure())
        failure = checksumFailure(downloadVersion, fileName, body);
    if (failure.isFailure()) {
        abandonDownload();
        emit firmware_download_failed(fileName, failure);
        return;
    }
    firmwareFiles[index].image = body;

    for (const QNetworkReply *pending : std::as_const(firmwareReplies)) {
        if (pending)
            return;
    }
    firmwareReplies.clear();
    emit firmware_download_finished();
}

QList<QString> NVKCloudInterface::hardwareIds(const QString &version) const
{
    return versionTable.value(version).hardwareIds();
}

DownloadFailure NVKCloudInterface::loadCatalogue(const QByteArray &body, const QString &branch,
                                                 bool betas)
{
    abandonCatalogueRequest();
    jsonTimer.stop();
    versionTable.clear();
    versionList.clear();
    releaseBranch = branch;
    showBetas = betas;
    const QJsonDocument document = catalogueDocument(body);
    if (!document.isArray())
        return notCatalogue();
    const QJsonArray products = document.array();
    for (const QJsonValue &element : products) {
        const QJsonObject product = element.toObject();
        if (contributesVersions(product))
            mergeVersions(product.value(versionsKey).toArray());
    }
    emit versions_update();
    return {};
}

DownloadFailure NVKCloudInterface::checkImage(const QString &version, const QString &key,
                                              const QByteArray &bytes) const
{
    return checksumFailure(versionTable.value(version), key, bytes);
}
