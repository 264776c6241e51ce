// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class SerialLink;

// Writes one firmware image into the meter's bootloader over an attached SerialLink.
class FirmwareFlasher : public QObject
{
    Q_OBJECT

public:
    explicit FirmwareFlasher(QObject *parent = nullptr);

    void attachLink(SerialLink *link);
    bool flashImage(const QByteArray &image, const QString &fileName);

    SerialLink *link = nullptr;
    int queryTimeoutMs = 3000;
    int ackTimeoutMs = 1000;
    QString deviceReply;

signals:
    void progress_update(int percent_complete);
};
