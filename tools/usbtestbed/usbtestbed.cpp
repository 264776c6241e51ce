// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "usbtestbed.h"

#include <QCoreApplication>

#include <umockdev.h>

namespace {

QString hexId(quint16 id)
{
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));
}

// The ids as both the USB device's sysfs attributes and the udev properties that udev's usb_id
// builtin would give the device and its tty; an id of 0 is left out.
QString idLines(quint16 vendorId, quint16 productId, bool attributes)
{
    QString lines;
    if (vendorId != 0) {
        lines += QStringLiteral("E: ID_VENDOR_ID=%1\n").arg(hexId(vendorId));
        if (attributes)
            lines += QStringLiteral("A: idVendor=%1\n").arg(hexId(vendorId));
    }
    if (productId != 0) {
        lines += QStringLiteral("E: ID_MODEL_ID=%1\n").arg(hexId(productId));
        if (attributes)
            lines += QStringLiteral("A: idProduct=%1\n").arg(hexId(productId));
    }
    return lines;
}

} // namespace

UsbTestbed::UsbTestbed() : testbed(umockdev_testbed_new()) {}

UsbTestbed::~UsbTestbed()
{
    g_object_unref(testbed);
}

bool UsbTestbed::inMockEnvironment()
{
    // umockdev_in_mock_environment() answers false under the wrapper in the umockdev we build
    // against, so look for the preload library that does the redirection.
    return qEnvironmentVariable("LD_PRELOAD").contains(QLatin1String("libumockdev-preload"));
}

QString UsbTestbed::processTtyName(int index)
{
    return QStringLiteral("ttyACM%1_%2").arg(QCoreApplication::applicationPid()).arg(index);
}

bool UsbTestbed::addSerialDevice(const QString &ttyName, quint16 vendorId, quint16 productId,
                                 const QString &serialNumber)
{
    if (ttyName.isEmpty() || masterFd(ttyName) >= 0)
        return false;

    // Each device sits on a bus of its own, numbered in the order of adding: udev lists devices
    // sorted by sysfs path, and the zero-padded controller name keeps that order past nine.
    const int bus = nextBus++;
    const QString usbPath = QStringLiteral("/devices/platform/usbtestbed.%1/usb%2/%2-1")
                                .arg(bus, 3, 10, QLatin1Char('0'))
                                .arg(bus);
    const QString interfacePath = QStringLiteral("%1/%2-1:1.0").arg(usbPath).arg(bus);
    const QString ttyPath = QStringLiteral("%1/tty/%2").arg(interfacePath, ttyName);

    const QString description =
        QStringLiteral("P: %1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n").arg(usbPath) +
        idLines(vendorId, productId, true) +
        QStringLiteral("A: manufacturer=Norvatek\nA: product=Power meter bootloader\n\n") +
        QStringLiteral("P: %1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=cdc_acm\n"
                       "A: bInterfaceClass=02\nA: bInterfaceSubClass=02\n\n")
            .arg(interfacePath) +
        QStringLiteral("P: %1\nN: %2\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/%2\n")
            .arg(ttyPath, ttyName) +
        idLines(vendorId, productId, false) +
        // The model and serial number as udev's usb_id gives them to the tty, from the USB
        // device's product and serial strings.
        QStringLiteral("E: ID_MODEL=Power_meter_bootloader\n") +
        (serialNumber.isEmpty() ? QString()
                                : QStringLiteral("E: ID_SERIAL_SHORT=%1\n").arg(serialNumber)) +
        QStringLiteral("\n");

    GError *error = nullptr;
    const QByteArray text = description.toUtf8();
    if (!umockdev_testbed_add_from_string(testbed, text.constData(), &error)) {
        g_clear_error(&error);
        return false;
    }
    devices.append({ttyName, QStringLiteral("/sys") + usbPath});
    return true;
}

void UsbTestbed::removeDevice(const QString &ttyName)
{
    for (qsizetype i = 0; i < devices.size(); ++i) {
        if (devices.at(i).ttyName == ttyName) {
            umockdev_testbed_remove_device(testbed, devices.at(i).usbSysPath.toUtf8().constData());
            devices.removeAt(i);
            return;
        }
    }
}

int UsbTestbed::masterFd(const QString &ttyName) const
{
    for (const Device &device : devices) {
        if (device.ttyName == ttyName) {
            const QByteArray node = QStringLiteral("/dev/%1").arg(ttyName).toUtf8();
            return umockdev_testbed_get_dev_fd(testbed, node.constData());
        }
    }
    return -1;
}
