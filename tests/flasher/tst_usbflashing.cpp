// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// The real USB path: umockdev presents the simulated meter as a /dev/ttyACM tty with its USB ids,
// QSerialPortInfo finds it and QSerialPort opens it exactly as on a machine with the meter
// plugged in. Runs under umockdev-wrapper. Which ports are taken for the meter is the window's
// port discovery test's concern; this one carries whole updates through the port.
#include "firmwareflasher.h"
#include "powermetersimulator.h"
#include "seriallink.h"
#include "usbtestbed.h"

#include <QSerialPortInfo>
#include <QTest>

class TestUsbFlashing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(UsbTestbed::inMockEnvironment(), "run this test under umockdev-wrapper");
    }

    void fullUpdateThroughTheUsbTty()
    {
        UsbTestbed testbed;
        // The meter's bootloader as udev reports it: vendor 04d8, product 000a.
        const QString tty = UsbTestbed::processTtyName();
        QVERIFY(testbed.addSerialDevice(tty, 0x04d8, 0x000a));
        // Started before the program opens the tty: the meter must wait out the master's EIO.
        PowerMeterSimulator meter(testbed.masterFd(tty));
        meter.start();

        const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
        QCOMPARE(ports.size(), 1);
        QCOMPARE(ports.first().systemLocation(), QStringLiteral("/dev/") + tty);

        SerialLink link;
        FirmwareFlasher flasher;
        QVERIFY(link.acquire(6000, ports.first().portName()));
        flasher.attachLink(&link);
        flasher.replyLineTimeoutMs = 20;
        QCOMPARE(link.sendCommand(QStringLiteral("P"), flasher.queryTimeoutMs, 1).trimmed(),
                 QStringLiteral("DOVUr3"));
        const QByteArray image = QByteArray("lumetra image ").repeated(300);
        QVERIFY(flasher.flashImage(image, QStringLiteral("DOVUr3-main.bin")));
        link.release();
        link.release();
        QVERIFY(!link.port.isOpen());

        // A second run reopens the port after the meter saw it closed (EIO on its end meanwhile).
        QVERIFY(link.acquire(6000, QString()));
        QVERIFY(flasher.flashImage(image.left(300), QStringLiteral("second.bin")));
        QVERIFY(link.sendBytes("R"));
        QVERIFY(meter.waitForReset(2000));
        link.release();

        const QList<ReceivedImage> images = meter.images();
        QCOMPARE(images.size(), 2);
        QCOMPARE(images.at(0).name, QStringLiteral("DOVUr3-main.bin"));
        QCOMPARE(images.at(0).data, image);
        QCOMPARE(images.at(1).data, image.left(300));
        QCOMPARE(meter.commands(), QByteArray("PDDR"));
        QCOMPARE(meter.protocolErrors(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestUsbFlashing)
#include "tst_usbflashing.moc"
