// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "nvkcloudinterface.h"

QString NVKCloudInterface::defaultServerUrl()
{
    return QStringLiteral(LUMETRA_RELEASE_SERVER_URL);
}

NVKCloudInterface::NVKCloudInterface(QObject *parent)
    : NVKCloudInterface(defaultServerUrl(), parent)
{
}

NVKCloudInterface::NVKCloudInterface(const QString &url, QObject *parent)
    : QObject(parent), serverUrl(url)
{
}

void NVKCloudInterface::requestVersions(const QString &, bool) {}
void NVKCloudInterface::requestFirmware(const QString &, const QString &) {}
