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
    void entriesNameTheirMeter();
    void chosenMeterIsKeptAndFollowed();
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

// The repeating 5000 ms refresh picks a change up without any help. One meter at a desk, without
// a serial number: unplugged, it leaves the list; plugged in again, on whatever port, it is the
// one listed and current, as it always was.
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
    const QString next = UsbTestbed::processTtyName(1);
    QVERIFY(testbed.addMeter(next));
    window.ports_update();
    QCOMPARE(listed(window), QStringList{next});
    QCOMPARE(window.chosenMeterPort(), next);
}

// Meters are told apart by the serial number shown beside each port name, with the description
// in the tooltip. The texts come from the meter: markup in them is shown, not obeyed.
void PortDiscoveryTest::entriesNameTheirMeter()
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
    QCOMPARE(combo->count(), ttys.size());
    for (int item = 0; item < ttys.size(); ++item) {
        QCOMPARE(combo->itemText(item), ttys[item] + "  serial " + serialNumbers[item]);
        const QString identity =
            QStringLiteral("Serial number %1\nPower meter bootloader").arg(serialNumbers[item]);
        QCOMPARE(combo->itemData(item, Qt::AccessibleDescriptionRole).toString(), identity);
        // A tooltip is rich text when it looks like it; this one reads as the plain identity.
        const QString toolTip = combo->itemData(item, Qt::ToolTipRole).toString();
        QCOMPARE(QTextDocumentFragment::fromHtml(toolTip).toPlainText(), identity);
    }
}

// The list never moves the user's choice to another meter: the chosen one stays current wherever
// it moves in the list, stays listed as not attached while it is away (a run from there finds no
// meter), and follows its serial number to the new port it comes back on.
void PortDiscoveryTest::chosenMeterIsKeptAndFollowed()
{
    UsbTestbed testbed;
    const QString first = UsbTestbed::processTtyName(0), chosen = UsbTestbed::processTtyName(1),
                  other = UsbTestbed::processTtyName(2), replugged = UsbTestbed::processTtyName(3);
    QVERIFY(testbed.addMeter(first, QStringLiteral("LM0120")));
    QVERIFY(testbed.addMeter(chosen, QStringLiteral("LM0121")));
    QVERIFY(testbed.addMeter(other, QStringLiteral("LM0122")));
    MainWindow window(unreachableServer);
    auto *combo = window.findChild<QComboBox *>("serialPortCombo");
    combo->setCurrentIndex(1);

    testbed.removeDevice(first);
    window.ports_update();
    QCOMPARE(combo->currentText(), chosen + "  serial LM0121");
    QCOMPARE(window.chosenMeterPort(), chosen);

    testbed.removeDevice(chosen);
    window.ports_update();
    window.ports_update(); // a second refresh keeps it as the first did
    QCOMPARE(listed(window), (QStringList{other + "  serial LM0122",
                                          "LM0121  (not attached, last on " + chosen + ")"}));
    QCOMPARE(combo->currentIndex(), 1);
    QCOMPARE(window.chosenMeterPort(), QString());

    QVERIFY(testbed.addMeter(replugged, QStringLiteral("LM0121")));
    window.ports_update();
    QCOMPARE(listed(window),
             (QStringList{other + "  serial LM0122", replugged + "  serial LM0121"}));
    QCOMPARE(combo->currentText(), replugged + "  serial LM0121");
    QCOMPARE(window.chosenMeterPort(), replugged);
}

QTEST_MAIN(PortDiscoveryTest)
#include "tst_portdiscovery.moc"
