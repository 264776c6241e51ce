// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "nvkcloudinterface.h"

#include "boundedreply.h"

#include "releasebranchsetting.h"
#include "releaselocation.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {

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

// Ends a request whose answer no longer counts: disconnected, so that answer is never taken,
// and deleted, which closes its connection. It is not aborted first: abort() records an error of
// its own, and when the network thread's own error for the reply is already queued (a refused
// connection, say), Qt warns on the terminal about the second one.
void endReply(QObject *reply, QObject *receiver)
{
    if (!reply)
        return;
    reply->disconnect(receiver);
    reply->deleteLater();
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
    : NVKCloudInterface(url, ReleaseTrust(), parent)
{
}

NVKCloudInterface::NVKCloudInterface(const QString &url, const ReleaseTrust &trust, QObject *parent)
    : QObject(parent), serverUrl(url), releaseTrust(trust), network(new QNetworkAccessManager(this))
{
    // Redirects are followed, but never from https to http: a catalogue or an image fetched
    // over TLS must not fall back to a connection anyone on the path can rewrite. Certificate
    // errors are never ignored; they fail the request like any other network error.
    network->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    jsonTimer.setSingleShot(true);
    connect(&jsonTimer, &QTimer::timeout, this, &NVKCloudInterface::timeoutJsonReply);
}

void NVKCloudInterface::requestVersions(const QString &branch, bool betas)
{
    abandonCatalogueRequest();
    ++catalogueRequests;
    versionTable.clear();
    versionList.clear();
    signatureCheck = ReleaseSignature::Result();
    showBetas = betas;
    releaseBranch = branch;
    emit versions_update();

    // A name that is no branch is never put into a request: it could name another path on the
    // server, another branch's catalogue among them.
    const QString problem = ReleaseBranchSetting::nameProblem(branch);
    if (!problem.isEmpty()) {
        refuseCatalogue({DownloadFailure::badBranch,
                         QStringLiteral("the release branch is not valid: ") + problem, 0});
        return;
    }
    catalogueFetch =
        new CatalogueFetch(serverUrl, catalogueLimits(), releaseTrust.requiresSignature(), this);
    connect(catalogueFetch, &CatalogueFetch::finished, this, &NVKCloudInterface::catalogueFetched);
    catalogueFetch->start(branch);
    jsonTimer.start(limitsInUse.jsonTimeoutMs);
}

void NVKCloudInterface::refuseCatalogue(const DownloadFailure &reason)
{
    const quint64 request = catalogueRequests;
    QMetaObject::invokeMethod(
        this,
        [this, request, reason] {
            if (request == catalogueRequests)
                emit catalogue_failed(reason);
        },
        Qt::QueuedConnection);
}

void NVKCloudInterface::abandonCatalogueRequest()
{
    CatalogueFetch *fetch = catalogueFetch;
    catalogueFetch = nullptr;
    endReply(fetch, this);
    jsonTimer.stop();
}

void NVKCloudInterface::timeoutJsonReply()
{
    // The request stays open: a late catalogue still fills the list.
    emit no_internet_connection();
}

// The client's own catalogue answers come through catalogueFetched(), checked by its trust; a
// reply handed in from outside belongs to no request of the client and changes nothing, as a
// superseded answer never did.
void NVKCloudInterface::parseJsonReply(QNetworkReply *reply)
{
    Q_UNUSED(reply);
}

void NVKCloudInterface::catalogueFetched()
{
    CatalogueFetch *fetch = catalogueFetch;
    if (!fetch || sender() != fetch)
        return; // superseded by a newer request
    const quint64 request = catalogueRequests;
    const DownloadFailure fetchFailure = fetch->failure();
    const ReleaseTrust::Answer answer = fetch->answer();
    abandonCatalogueRequest();

    // A failed request or an error page is simply not a catalogue: the list stays empty, and
    // only callers that listen for catalogue_failed() hear why.
    if (fetchFailure.isFailure()) {
        emit catalogue_failed(fetchFailure);
        return;
    }
    const ReleaseTrust::Verdict verdict = releaseTrust.accept(answer, {serverUrl, releaseBranch});
    signatureCheck = verdict.signature;
    if (verdict.failure.isFailure()) {
        emit catalogue_failed(verdict.failure);
        return;
    }
    for (const QList<ReleaseVersion> &product : verdict.catalogue->products()) {
        mergeVersions(product);
        emit versions_update();
        // A slot of versions_update() may have started a new request; this one no longer counts.
        if (request != catalogueRequests)
            return;
    }
    emit catalogue_received();
}

void NVKCloudInterface::mergeVersions(const QList<ReleaseVersion> &versions)
{
    ReleaseCatalogue::Listing listing{versionList, versionTable};
    listing.merge(versions, showBetas);
    versionList = listing.tags;
    versionTable = listing.entries;
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
    const QString unchecked = releaseTrust.uncheckedFile(downloadVersion);
    for (const QString &key : keys) {
        const QUrl url =
            ReleaseLocation::url(serverUrl, releaseBranch, ReleaseLocation::Resource::Firmware,
                                 downloadVersion.value(key));
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
        refuseDownload(unchecked, ReleaseTrust::uncheckedFailure(unchecked));
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
        failure = downloadVersion.imageProblem(fileName, body);
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

void NVKCloudInterface::useCatalogue(const ReleaseCatalogue &catalogue, const QString &branch,
                                     bool betas)
{
    abandonCatalogueRequest();
    ++catalogueRequests;
    releaseBranch = branch;
    showBetas = betas;
    const ReleaseCatalogue::Listing listing = catalogue.listing(betas);
    versionList = listing.tags;
    versionTable = listing.entries;
    emit versions_update();
}

DownloadFailure NVKCloudInterface::checkImage(const QString &version, const QString &key,
                                              const QByteArray &bytes) const
{
    return versionTable.value(version).imageProblem(key, bytes);
}
