// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// One firmware download: the catalogue key that names it, where it comes from, and its body.
struct FirmwareFile
{
    QString name;
    QUrl url;
    QByteArray image;
};
