// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// The real USB path: umockdev presents the simulated meter as /dev/ttyACM0 with its USB ids,
// QSerialPortInfo finds it and QSerialPort opens it exactly as on a machine with the meter
// plugged in. Runs under umockdev-wrapper.
#include "firmwareflasher.h"
#include "powermetersimulator.h"
#include "seriallink.h"
#include "usbtestbed.h"

#include <QSerialPortInfo>
#include <QTest>

namespace {

constexpr quint16 meterVendorId = 0x04d8;
constexpr quint16 meterProductId = 0x000a;

struct Listed
{
    QString name;
    bool hasVendor;
    quint16 vendor;
    bool hasProduct;
    quint16 product;
    bool operator==(const Listed &other) const
    {
        return name == other.name && hasVendor == other.hasVendor && vendor == other.vendor &&
               hasProduct == other.hasProduct && product == other.product;
    }
};

QList<Listed> listedPorts()
{
    QList<Listed> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        ports.append({info.portName(), info.hasVendorIdentifier(), info.vendorIdentifier(),
                      info.hasProductIdentifier(), info.productIdentifier()});
    return ports;
}

} // namespace

namespace QTest {
template <> char *toString(const Listed &port)
{
    return qstrdup(qPrintable(
        QStringLiteral("%1 %2:%3")
            .arg(port.name)
            .arg(port.hasVendor ? QString::number(port.vendor, 16) : QStringLiteral("-"))
            .arg(port.hasProduct ? QString::number(port.product, 16) : QStringLiteral("-"))));
}
} // namespace QTest

class TestUsbFlashing : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(UsbTestbed::inMockEnvironment(), "run this test under umockdev-wrapper");
    }

    void portsAreListedInOrderWithTheirIds()
    {
        UsbTestbed testbed;
        QVERIFY(testbed.addSerialDevice(QStringLiteral("ttyACM0"), meterVendorId, meterProductId));
        QVERIFY(testbed.addSerialDevice(QStringLiteral("ttyACM1"), meterVendorId, 0));
        QVERIFY(!testbed.addSerialDevice(QStringLiteral("ttyACM1"), 0x1234, 0x5678));
        const Listed meter{QStringLiteral("ttyACM0"), true, meterVendorId, true, meterProductId};
        const Listed vendorOnly{QStringLiteral("ttyACM1"), true, meterVendorId, false, 0};
        QCOMPARE(listedPorts(), (QList<Listed>{meter, vendorOnly}));

        // Plugged in after the first enumeration, and then unplugged again.
        QVERIFY(testbed.addSerialDevice(QStringLiteral("ttyACM2"), 0, meterProductId));
        const Listed productOnly{QStringLiteral("ttyACM2"), false, 0, true, meterProductId};
        QCOMPARE(listedPorts(), (QList<Listed>{meter, vendorOnly, productOnly}));
        testbed.removeDevice(QStringLiteral("ttyACM1"));
        QCOMPARE(listedPorts(), (QList<Listed>{meter, productOnly}));
        QCOMPARE(testbed.masterFd(QStringLiteral("ttyACM1")), -1);
        QVERIFY(testbed.masterFd(QStringLiteral("ttyACM0")) >= 0);
    }

    void fullUpdateThroughDevTtyAcm0()
    {
        UsbTestbed testbed;
        QVERIFY(testbed.addSerialDevice(QStringLiteral("ttyACM0"), meterVendorId, meterProductId));
        // Started before the program opens the tty: the meter must wait out the master's EIO.
        PowerMeterSimulator meter(testbed.masterFd(QStringLiteral("ttyACM0")));
        meter.start();

        const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
        QCOMPARE(ports.size(), 1);
        QCOMPARE(ports.first().systemLocation(), QStringLiteral("/dev/ttyACM0"));

        SerialLink link;
        FirmwareFlasher flasher;
        QVERIFY(link.acquire(6000, ports.first().portName()));
        flasher.attachLink(&link);
        flasher.replyLineTimeoutMs = 20;
        QCOMPARE(link.sendCommand(QStringLiteral("P"), flasher.queryTimeoutMs, 1).trimmed(),
                 QStringLiteral("DOVUr3"));
        QByteArray image(4096 + 77, '\0');
        for (qsizetype i = 0; i < image.size(); ++i)
            image[i] = char(i * 13 + 5);
        QVERIFY(flasher.flashImage(image, QStringLiteral("DOVUr3-main.bin")));
        QVERIFY(!link.failed());
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
