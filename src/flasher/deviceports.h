// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QList>
#include <QPair>
#include <QSerialPortInfo>
#include <QStringList>

// USB vendor and product identifier of a port.
using UsbIdentifier = QPair<quint16, quint16>;

// Tells which serial ports belong to the meter in bootloader mode. The meter is known by its USB
// ids alone: manufacturer and description texts vary with the driver and are never consulted.
// Both the window and the command-line program list ports through here, so they always agree on
// which meters there are and in which order.
class DevicePorts
{
public:
    // The meter's bootloader port: its USB vendor id with the bootloader's product id.
    static QList<UsbIdentifier> deviceIdentifiers();
    // The ports carrying one of the identifiers, in the order the serial-port layer lists them.
    static QList<QSerialPortInfo> find(const QList<UsbIdentifier> &identifiers);
    static QStringList names(const QList<QSerialPortInfo> &ports);
    // The USB serial number of the meter on portName as it reports it; empty when it has none or
    // is not attached.
    static QString serialNumberOf(const QString &portName);
};
