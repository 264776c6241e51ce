// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// Which serial ports the window takes for the meter, with USB ttys that udev (umockdev) reports
// exactly as it would report real ones.
#include "mainwindow.h"
#include "privatesettings.h"
#include "usbtestbed.h"

#include <QComboBox>
#include <QTextDocumentFragment>
#include <QtTest>

namespace {
const QString unreachableServer = QStringLiteral("http://127.0.0.1:9");
constexpr quint16 meterVendor = UsbTestbed::meterVendorId;
constexpr quint16 bootloader = UsbTestbed::meterProductId;
const QString firstTty = UsbTestbed::processTtyName(0);
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

private slots:
    void initTestCase() { usePrivateSettings(); }
    void onlyTheMetersIdsMatch_data();
    void onlyTheMetersIdsMatch();
    void pluggedAndUnpluggedAtTheNextRefresh();
    void chosenMeterStaysCurrentWhileListed();
};

void PortDiscoveryTest::onlyTheMetersIdsMatch_data()
{
    QTest::addColumn<quint16>("vendor");
    QTest::addColumn<quint16>("product");
    QTest::addColumn<bool>("listed");
    QTest::newRow("the meter's bootloader") << meterVendor << bootloader << true;
    QTest::newRow("same maker, other product") << meterVendor << quint16(0x000B) << false;
    QTest::newRow("other maker, same product id") << quint16(0x1234) << bootloader << false;
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

// The repeating 5000 ms refresh picks a change up without any help.
void PortDiscoveryTest::pluggedAndUnpluggedAtTheNextRefresh()
{
    UsbTestbed testbed;
    MainWindow window(unreachableServer);
    QVERIFY(listed(window).isEmpty());
    QVERIFY(testbed.addMeter(firstTty));
    QTRY_COMPARE_WITH_TIMEOUT(listed(window), QStringList{firstTty}, 5500);

    testbed.removeDevice(firstTty);
    window.ports_update();
    QVERIFY(listed(window).isEmpty());
}

// Meters are told apart by the serial number and description beside each port name; the one
// the user chose stays current across refreshes, wherever it moves in the list, until it is
// unplugged. The texts come from the meter: markup in them is shown, not obeyed.
void PortDiscoveryTest::chosenMeterStaysCurrentWhileListed()
{
    UsbTestbed testbed;
    const QStringList serialNumbers{QStringLiteral("LM0061"), QStringLiteral("LM0062"),
                                    QStringLiteral("<img src=\"file:///dev/zero\">")};
    QStringList ttys;
    for (int i = 0; i < serialNumbers.size(); ++i) {
        ttys.append(UsbTestbed::processTtyName(i));
        QVERIFY(testbed.addMeter(ttys.last(), serialNumbers[i]));
    }
    MainWindow window(unreachableServer);
    auto *combo = window.findChild<QComboBox *>("serialPortCombo");
    QCOMPARE(listed(window), ttys);
    for (int item = 0; item < ttys.size(); ++item) {
        const QString identity =
            QStringLiteral("Serial number %1\nPower meter bootloader").arg(serialNumbers[item]);
        QCOMPARE(combo->itemData(item, Qt::AccessibleDescriptionRole).toString(), identity);
        // A tooltip is rich text when it looks like it; this one reads as the plain identity.
        const QString toolTip = combo->itemData(item, Qt::ToolTipRole).toString();
        QCOMPARE(QTextDocumentFragment::fromHtml(toolTip).toPlainText(), identity);
    }

    combo->setCurrentIndex(2);
    window.ports_update();
    QCOMPARE(combo->currentText(), ttys[2]);
    testbed.removeDevice(ttys[0]);
    window.ports_update();
    QCOMPARE(combo->currentText(), ttys[2]);

    testbed.removeDevice(ttys[2]);
    window.ports_update();
    QCOMPARE(listed(window), QStringList{ttys[1]});
    QCOMPARE(combo->currentText(), ttys[1]);
}

QTEST_MAIN(PortDiscoveryTest)
#include "tst_portdiscovery.moc"
