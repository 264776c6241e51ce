// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "firmwareflasher.h"

#include "seriallink.h"

FirmwareFlasher::FirmwareFlasher(QObject *parent) : QObject(parent) {}

void FirmwareFlasher::attachLink(SerialLink *newLink)
{
    link = newLink;
    ackTimeoutMs = 3000;
}

bool FirmwareFlasher::flashImage(const QByteArray &, const QString &) { return false; }
