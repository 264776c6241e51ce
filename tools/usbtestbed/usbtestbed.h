// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QList>
#include <QString>

struct _UMockdevTestbed;

// A umockdev testbed holding simulated USB serial (CDC ACM) devices. Each device is a USB device
// node, its cdc_acm interface and a tty whose udev properties carry the USB ids, so that
// QSerialPortInfo lists it and QSerialPort opens /dev/<ttyName> as on a real machine. The tty is
// backed by a pseudo-terminal whose master end (masterFd) plays the device.
//
// The process must run under umockdev-wrapper; child processes inherit the testbed through the
// environment. Devices are listed in the order they were added.
class UsbTestbed
{
public:
    UsbTestbed();
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed &) = delete;
    UsbTestbed &operator=(const UsbTestbed &) = delete;

    // Adds a device whose tty is /dev/<ttyName>. An id of 0 is left out altogether, giving a
    // device that carries only the other id; an empty serial number is left out too. Returns
    // false when the testbed refuses the device or the name is already in use.
    bool addSerialDevice(const QString &ttyName, quint16 vendorId, quint16 productId,
                         const QString &serialNumber = QString());
    // The meter in bootloader mode.
    static constexpr quint16 meterVendorId = 0x04D8;
    static constexpr quint16 meterProductId = 0x000A;
    bool addMeter(const QString &ttyName, const QString &serialNumber = QString())
    {
        return addSerialDevice(ttyName, meterVendorId, meterProductId, serialNumber);
    }
    // Removes the device with its interface and tty; gone at the next availablePorts(). An open
    // port is not hung up (umockdev cannot do that): use a plain pseudo-terminal for unplugs.
    // Stop a simulator playing the device first: its master end goes with the device.
    void removeDevice(const QString &ttyName);
    // The pseudo-terminal master that plays the device; owned by the testbed, never close it.
    // -1 for an unknown name.
    int masterFd(const QString &ttyName) const;

    // True when the process runs under umockdev-wrapper (the testbed is then visible to Qt).
    static bool inMockEnvironment();
    // A tty name that no other process on the machine uses ("ttyACM<pid>_<index>"). QSerialPort
    // locks a port with a lock file named after it in the machine-wide /run/lock, which the
    // testbed does not redirect: two processes simulating the same name would refuse each other.
    static QString processTtyName(int index = 0);

private:
    struct Device
    {
        QString ttyName;
        QString usbSysPath;
    };

    _UMockdevTestbed *testbed = nullptr;
    QList<Device> devices;
    int nextBus = 1;
};
