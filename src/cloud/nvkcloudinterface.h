// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "downloadfailure.h"
#include "firmwarefile.h"

#include <QJsonArray>
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
class NVKCloudInterface : public QObject
{
    Q_OBJECT

public:
    explicit NVKCloudInterface(QObject *parent = nullptr);
    explicit NVKCloudInterface(const QString &serverUrl, QObject *parent = nullptr);

    // The base URL compiled in at build time (LUMETRA_RELEASE_SERVER_URL).
    static QString defaultServerUrl();

    void requestVersions(const QString &branch, bool showBetas);
    void requestFirmware(const QString &version, const QString &hardwareId);
    // The keys of the version's catalogue entry that name firmware files for this hardware, in
    // key order. The identifier is a copy because "App" is stripped from it.
    QList<QString> firmwareKeys(const QString &version, QString hardwareId) const;
    // The hardware identifiers that the version has firmware files for, in key order.
    QList<QString> hardwareIds(const QString &version) const;
    // Takes a catalogue that came some other way (a release bundle) exactly as the server's
    // answer: the versions of branch replace the list. A failure says why it is no catalogue.
    DownloadFailure loadCatalogue(const QByteArray &body, const QString &branch, bool showBetas);
    // Why bytes may not be used as the version's file `key`: they differ from the checksum the
    // catalogue publishes for it. No failure when they match or none is published.
    DownloadFailure checkImage(const QString &version, const QString &key,
                               const QByteArray &bytes) const;

    QMap<QString, QMap<QString, QString>> versionTable;
    QList<QString> versionList;
    QList<FirmwareFile> firmwareFiles;
    QString serverUrl;
    QString scriptName = QStringLiteral("lumetra.php");
    QString releaseBranch = QStringLiteral("cust");
    bool showBetas = false;
    QTimer jsonTimer;

    // How long a catalogue request may go unanswered before no_internet_connection().
    int jsonTimeoutMs = 6000;
    // A catalogue still arriving after this is abandoned: catalogue_failed().
    int wholeCatalogueTimeoutMs = 60 * 1000;
    // How long a firmware download may go without receiving any data before it fails.
    int downloadTimeoutMs = 30000;
    // How long one firmware file may take in all, however steadily its bytes trickle in.
    int wholeImageTimeoutMs = 10 * 60 * 1000;
    // The largest firmware file and catalogue taken in: the meter's flash is far smaller, and a
    // catalogue of thousands of versions still fits. Anything larger is aborted as it arrives.
    qint64 maximumImageBytes = 16 * 1024 * 1024;
    qint64 maximumCatalogueBytes = 8 * 1024 * 1024;

signals:
    void versions_update();
    void firmware_download_finished();
    void no_internet_connection();
    // The download ended without every file: fileName is the catalogue key of the file that
    // failed, reason why (refused, unresolved, untrusted certificate, a status other than 200 or
    // 203, empty body, too large, no data or not complete in time, or bytes that do not match
    // the checksum the catalogue publishes for it). Nothing of the download is kept.
    void firmware_download_failed(const QString &fileName, const DownloadFailure &reason);
    // The end of the latest catalogue request, for callers that must know when the list is whole
    // (the window refills its list as versions arrive and needs neither): every product object
    // has been merged, or the answer was no catalogue at all (reason says why).
    void catalogue_received();
    void catalogue_failed(const DownloadFailure &reason);

public slots:
    void getFirmwareFinished(QNetworkReply *reply);
    void timeoutJsonReply();
    void parseJsonReply(QNetworkReply *reply);

private:
    void mergeVersions(const QJsonArray &versions);
    QUrl firmwareUrl(const QString &fileValue) const;
    void abandonCatalogueRequest();
    void abandonDownload();

    QNetworkAccessManager *network;
    // The catalogue entry of the version being downloaded, as it was when the download started.
    QMap<QString, QString> downloadFields;
    // The catalogue request in flight, null once answered.
    QPointer<QNetworkReply> catalogueReply;
    // One reply per entry of firmwareFiles, same index; null once that file is handled.
    QList<QNetworkReply *> firmwareReplies;
};
