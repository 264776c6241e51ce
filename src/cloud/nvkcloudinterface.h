// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "firmwarefile.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

class QNetworkReply;

// Client of the release server: the catalogue of firmware versions and the firmware downloads.
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

    QMap<QString, QMap<QString, QString>> versionTable;
    QList<QString> versionList;
    QList<FirmwareFile> firmwareFiles;
    QString serverUrl;
    QString scriptName = QStringLiteral("lumetra.php");
    QString releaseBranch = QStringLiteral("cust");
    bool showBetas = false;
    QTimer jsonTimer;

signals:
    void versions_update();
    void firmware_download_finished();
    void no_internet_connection();
};
