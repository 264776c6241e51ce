// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QByteArray>
#include <QSerialPort>
#include <QString>

// The one channel to the meter's bootloader: a serial port shared by nested users through a hold
// count. The first hold opens the port under the remembered name, the last release closes it.
// All I/O is blocking and polled on the caller's thread; no serial-port signal is used.
class SerialLink
{
public:
    SerialLink();

    bool acquire(int readTimeoutMs, const QString &portName);
    void release();
    void drainInput();
    QString readReply(int lines);
    QString sendCommand(const QString &command, int readTimeoutMs, int lines);
    bool sendBytes(const QByteArray &bytes);

    QSerialPort port;
    int holdCount = 0;
    QString portName;
    int readTimeoutMs = 1000;
    int writeTimeoutMs = 1000;
};
