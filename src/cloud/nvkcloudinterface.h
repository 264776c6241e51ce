// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "cataloguefetch.h"
#include "downloadfailure.h"
#include "firmwarefile.h"
#include "releasecatalogue.h"
#include "releasesignature.h"
#include "releasetrust.h"
#include "releaseversion.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// Client of the release server: the catalogue of firmware versions of a release branch, and the
// firmware files of one version for one hardware identifier.
//
// Lifecycle: one network access manager lives as long as the client; each reply is deleted once
// handled. Only the latest catalogue request and the latest download count: starting a new one
// aborts what is left of the previous one, so a late answer can never change the newer result.
//
// Everything the server sends is bounded in size and time as it arrives (BoundedReply), and the
// catalogue's values are checked before they are listed or put into a download URL.
//
// Whether a catalogue may be used is its ReleaseTrust's to say, fixed when the client is made:
// with trusted keys (built in with LUMETRA_RELEASE_PUBLIC_KEYS, or given), the catalogue's
// minisign signature <branch>/lumetrarelease.minisig is fetched beside it and must verify and
// bind the catalogue to its branch and time. Without keys nothing more is fetched or checked.
// A branch name that breaks ReleaseBranchSetting's rule is refused before anything is requested.
class NVKCloudInterface : public QObject
{
    Q_OBJECT

public:
    // The bounds put on every answer of the server. Tests shorten them; the window and
    // lumetra-flash use them as they are.
    struct Limits
    {
        // How long a catalogue request may go unanswered before no_internet_connection(). The
        // request goes on: a late catalogue is still listed.
        int jsonTimeoutMs = 6000;
        // A catalogue still arriving after this is abandoned: catalogue_failed().
        int wholeCatalogueTimeoutMs = CatalogueFetch::Limits().wholeTimeoutMs;
        // How long a firmware download may go without receiving any data before it fails.
        int downloadTimeoutMs = 30000;
        // How long one firmware file may take in all, however steadily its bytes trickle in.
        int wholeImageTimeoutMs = 10 * 60 * 1000;
        // The largest firmware file and catalogue taken in: the meter's flash is far smaller.
        // Anything larger is aborted as it arrives.
        qint64 maximumImageBytes = 16 * 1024 * 1024;
        qint64 maximumCatalogueBytes = CatalogueFetch::Limits().maximumBytes;
    };

    explicit NVKCloudInterface(QObject *parent = nullptr);
    explicit NVKCloudInterface(const QString &serverUrl, QObject *parent = nullptr);
    NVKCloudInterface(const QString &serverUrl, const ReleaseTrust &trust,
                      QObject *parent = nullptr);

    // The base URL compiled in at build time (LUMETRA_RELEASE_SERVER_URL).
    static QString defaultServerUrl();

    void requestVersions(const QString &branch, bool showBetas);
    void requestFirmware(const QString &version, const QString &hardwareId);
    // The keys of the version's catalogue entry that name firmware files for this hardware, in
    // key order. The identifier is a copy because "App" is stripped from it.
    QList<QString> firmwareKeys(const QString &version, QString hardwareId) const;
    // The hardware identifiers that the version has firmware files for, in key order.
    QList<QString> hardwareIds(const QString &version) const;
    // Lists a catalogue that came some other way (a release folder, the download that writes
    // one), already accepted by trust(), as the server's answer would be: the versions of branch
    // replace the list.
    void useCatalogue(const ReleaseCatalogue &catalogue, const QString &branch, bool showBetas);
    // Why bytes may not be used as the version's file `key`: they differ from the checksum the
    // catalogue publishes for it. No failure when they match or none is published.
    DownloadFailure checkImage(const QString &version, const QString &key,
                               const QByteArray &bytes) const;

    // The tags of the latest catalogue request's versions, in catalogue order: what the version
    // list shows, the last one preselected.
    const QList<QString> &versions() const { return versionList; }
    // The catalogue entry of a listed version; an empty one for a tag that is not listed.
    ReleaseVersion entry(const QString &tag) const { return versionTable.value(tag); }
    // The files of the latest requestFirmware(), in key order; each image is empty until the
    // whole download has come. Empty when the version has no firmware for the meter.
    const QList<FirmwareFile> &downloads() const { return firmwareFiles; }
    QString server() const { return serverUrl; }
    // The branch of the latest catalogue request ("cust" before any), which downloads use too.
    QString branch() const { return releaseBranch; }
    bool showsBetas() const { return showBetas; }
    // The latest catalogue request is neither answered nor past its time-out yet.
    bool isWaitingForCatalogue() const { return jsonTimer.isActive(); }

    const Limits &limits() const { return limitsInUse; }
    // Takes effect for the requests made from now on.
    void setLimits(const Limits &limits) { limitsInUse = limits; }

    // The bounds of every catalogue request, this client's and a release folder's download.
    CatalogueFetch::Limits catalogueLimits() const
    {
        return {limitsInUse.wholeCatalogueTimeoutMs, limitsInUse.maximumCatalogueBytes};
    }

    // What decides whether a catalogue may be used; fixed when the client was made.
    const ReleaseTrust &trust() const { return releaseTrust; }
    // A catalogue counts only with a signature that verifies.
    bool requiresSignature() const { return releaseTrust.requiresSignature(); }
    // The check of the latest catalogue's signature: ok(), with the signing key's id, once the
    // listed catalogue verified; not ok while there is none, and always when no signature is
    // required (none is then fetched).
    const ReleaseSignature::Result &catalogueSignature() const { return signatureCheck; }

signals:
    void versions_update();
    void firmware_download_finished();
    void no_internet_connection();
    // The download ended without every file: fileName is the catalogue key of the file that
    // failed, reason why (refused, unresolved, untrusted certificate, a status other than 200 or
    // 203, empty body, too large, no data or not complete in time, or bytes that do not match
    // the checksum the catalogue publishes for it). Nothing of the download is kept.
    // A version whose signed catalogue entry lacks a checksum fails at once, with nothing
    // fetched (DownloadFailure::checksumMissing, fileName the member without one); the files
    // are listed in downloads() all the same, so the failure is this signal's to report.
    void firmware_download_failed(const QString &fileName, const DownloadFailure &reason);
    // The end of the latest catalogue request, for callers that must know when the list is whole
    // (the window refills its list as versions arrive): every product object has been merged, or
    // the answer was no catalogue at all, not a trusted one (ReleaseTrust::isRefusal()) or the
    // branch is no branch name (DownloadFailure::badBranch); reason says why.
    void catalogue_received();
    void catalogue_failed(const DownloadFailure &reason);

public slots:
    void getFirmwareFinished(QNetworkReply *reply);
    void timeoutJsonReply();
    void parseJsonReply(QNetworkReply *reply);

private:
    void catalogueFetched();
    // Ends the latest catalogue request with `reason`, once the caller has returned: a caller
    // waiting in its own event loop must be in it when the report comes.
    void refuseCatalogue(const DownloadFailure &reason);
    // Fails the latest download once the caller has returned, as a download that failed at the
    // server does.
    void refuseDownload(const QString &fileName, const DownloadFailure &reason);
    void mergeVersions(const QList<ReleaseVersion> &versions);
    void abandonCatalogueRequest();
    void abandonDownload();

    // The catalogue of the latest request: each listed version's entry by tag, and the tags in
    // catalogue order.
    QMap<QString, ReleaseVersion> versionTable;
    QList<QString> versionList;
    QList<FirmwareFile> firmwareFiles;
    QString serverUrl;
    QString releaseBranch = QStringLiteral("cust");
    bool showBetas = false;
    QTimer jsonTimer;
    Limits limitsInUse;
    ReleaseTrust releaseTrust;

    QNetworkAccessManager *network;
    // The catalogue entry of the version being downloaded, as it was when the download started.
    ReleaseVersion downloadVersion;
    // The catalogue request in flight, null once answered.
    QPointer<CatalogueFetch> catalogueFetch;
    ReleaseSignature::Result signatureCheck;
    // Counts requestVersions() calls, so an answer or refusal of an earlier one is dropped.
    quint64 catalogueRequests = 0;
    // Counts requestFirmware() calls, so a refusal still queued for an earlier one is dropped.
    quint64 downloadRequests = 0;
    // One reply per entry of firmwareFiles, same index; null once that file is handled.
    QList<QNetworkReply *> firmwareReplies;
};
