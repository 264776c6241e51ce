// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// Which serial ports the window takes for the meter, with USB ttys that udev (umockdev) reports
// exactly as it would report real ones.
#include "mainwindow.h"
#include "usbtestbed.h"

#include <QComboBox>
#include <QStandardPaths>
#include <QtTest>

namespace {
const QString unreachableServer = QStringLiteral("http://127.0.0.1:9");
constexpr quint16 meterVendor = 0x04D8;
constexpr quint16 bootloader = 0x000A;
const QString firstTty = UsbTestbed::processTtyName(0);
const QString secondTty = UsbTestbed::processTtyName(1);
const QString thirdTty = UsbTestbed::processTtyName(2);
} // namespace

class PortDiscoveryTest : public QObject
{
    Q_OBJECT

private:
    static QStringList listed(MainWindow &window)
    {
        QStringList names;
        auto *combo = window.findChild<QComboBox *>("serialPortCombo");
        for (int i = 0; i < combo->count(); ++i)
            names.append(combo->itemText(i));
        return names;
    }
    static void refresh(MainWindow &window) { window.ports_update(); }

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }
    void onlyTheMetersIdsMatch_data();
    void onlyTheMetersIdsMatch();
    void twoMetersListedInEnumerationOrder();
    void pluggedAndUnpluggedAtNextRefresh();
    void newMeterShowsUpWithinOneTimerInterval();
};

void PortDiscoveryTest::onlyTheMetersIdsMatch_data()
{
    QTest::addColumn<quint16>("vendor");
    QTest::addColumn<quint16>("product");
    QTest::addColumn<bool>("listed");
    QTest::newRow("the meter's bootloader") << meterVendor << bootloader << true;
    QTest::newRow("same maker, other product") << meterVendor << quint16(0x000B) << false;
    QTest::newRow("other maker, same product id") << quint16(0x1234) << bootloader << false;
    QTest::newRow("ids swapped") << bootloader << meterVendor << false;
    // An id of 0 leaves it out of the device's udev properties.
    QTest::newRow("vendor id only") << meterVendor << quint16(0) << false;
    QTest::newRow("product id only") << quint16(0) << bootloader << false;
}

void PortDiscoveryTest::onlyTheMetersIdsMatch()
{
    QFETCH(quint16, vendor);
    QFETCH(quint16, product);
    QFETCH(bool, listed);

    UsbTestbed testbed;
    QVERIFY(testbed.addSerialDevice(firstTty, vendor, product));
    const QStringList found = MainWindow::findDevicePorts(MainWindow::deviceIdentifiers());
    QCOMPARE(found, listed ? QStringList{firstTty} : QStringList());

    MainWindow window(unreachableServer);
    QCOMPARE(PortDiscoveryTest::listed(window), found);
}

void PortDiscoveryTest::twoMetersListedInEnumerationOrder()
{
    UsbTestbed testbed;
    QVERIFY(testbed.addSerialDevice(firstTty, meterVendor, bootloader));
    QVERIFY(testbed.addSerialDevice(secondTty, 0x1234, 0x5678));
    QVERIFY(testbed.addSerialDevice(thirdTty, meterVendor, bootloader));

    MainWindow window(unreachableServer);
    QCOMPARE(listed(window), (QStringList{firstTty, thirdTty}));
    QCOMPARE(window.findChild<QComboBox *>("serialPortCombo")->currentIndex(), 0);
}

void PortDiscoveryTest::pluggedAndUnpluggedAtNextRefresh()
{
    UsbTestbed testbed;
    MainWindow window(unreachableServer);
    QVERIFY(listed(window).isEmpty());

    QVERIFY(testbed.addSerialDevice(firstTty, meterVendor, bootloader));
    QVERIFY(listed(window).isEmpty()); // nothing changes until the list is refreshed
    refresh(window);
    QCOMPARE(listed(window), QStringList{firstTty});

    testbed.removeDevice(firstTty);
    refresh(window);
    QVERIFY(listed(window).isEmpty());
}

void PortDiscoveryTest::newMeterShowsUpWithinOneTimerInterval()
{
    UsbTestbed testbed;
    MainWindow window(unreachableServer);
    QVERIFY(testbed.addSerialDevice(firstTty, meterVendor, bootloader));
    // The repeating 5000 ms refresh picks it up without any help.
    QTRY_COMPARE_WITH_TIMEOUT(listed(window), QStringList{firstTty}, 5500);
}

QTEST_MAIN(PortDiscoveryTest)
#include "tst_portdiscovery.moc"
