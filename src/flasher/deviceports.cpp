// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "deviceports.h"

namespace {
constexpr quint16 meterVendorId = 0x04D8;
constexpr quint16 bootloaderProductId = 0x000A;
} // namespace

QList<UsbIdentifier> DevicePorts::deviceIdentifiers()
{
    return {{meterVendorId, bootloaderProductId}};
}

QList<QSerialPortInfo> DevicePorts::find(const QList<UsbIdentifier> &identifiers)
{
    QList<QSerialPortInfo> matching;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports) {
        // A port without USB ids reports 0 for both and never matches.
        for (const UsbIdentifier &id : identifiers) {
            if (port.vendorIdentifier() == id.first && port.productIdentifier() == id.second)
                matching.append(port);
        }
    }
    return matching;
}

QStringList DevicePorts::names(const QList<QSerialPortInfo> &ports)
{
    QStringList names;
    for (const QSerialPortInfo &port : ports)
        names.append(port.portName());
    return names;
}

QString DevicePorts::serialNumberOf(const QString &portName)
{
    const QList<QSerialPortInfo> ports = find(deviceIdentifiers());
    for (const QSerialPortInfo &port : ports) {
        if (port.portName() == portName)
            return port.serialNumber();
    }
    return QString();
}
