// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// SleepInhibitor against a stand-in logind: python3-dbusmock's logind template on a private
// system bus that this test starts for itself. The test points DBUS_SYSTEM_BUS_ADDRESS at it
// before anything connects, so the inhibitor takes the same road to the system bus as in the
// programs, and the machine's own bus is never touched.
#include "logindstandin.h"
#include "sleepinhibitor.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <memory>

#include <signal.h>

namespace {
const QString programName = QStringLiteral("lumetra-flash");
constexpr int shortLockTimeoutMs = 300;
// What a loaded sanitizer build may add to a wait that ends on time.
constexpr int waitSlackMs = 1000;
} // namespace

class TestSleepInhibitor : public QObject
{
    Q_OBJECT

private:
    LogindStandIn standIn;

private slots:
    void initTestCase() { QVERIFY(standIn.startBus()); }

    void cleanup() { standIn.stopLogind(); }

    // Held with the update's values until released; the next run takes a fresh lock, which the
    // destructor closes too.
    void locksWithTheUpdatesValuesUntilReleased()
    {
        QVERIFY(standIn.startLogind());
        auto inhibitor = std::make_unique<SleepInhibitor>(programName);
        const QList<QStringList> expected{LogindStandIn::updateLock(programName)};
        QVERIFY(inhibitor->acquire());
        QVERIFY(inhibitor->isHeld());
        QCOMPARE(inhibitor->reason(), QString());
        QVERIFY(inhibitor->acquire()); // a held lock is not taken twice
        QCOMPARE(standIn.inhibitors(), expected);
        inhibitor->release();
        QVERIFY(!inhibitor->isHeld());
        // logind lets go of a lock only when every copy of its descriptor is closed.
        QTRY_COMPARE(standIn.inhibitors(), QList<QStringList>());

        // As the window takes it: its hook runs while the inhibitor waits.
        inhibitor->setWaitHook([] { QCoreApplication::processEvents(); });
        QVERIFY(inhibitor->acquire());
        QCOMPARE(standIn.inhibitors(), expected);
        inhibitor.reset();
        QTRY_COMPARE(standIn.inhibitors(), QList<QStringList>());
    }

    void goesOnWithoutALockLogindWillNotGive_data()
    {
        QTest::addColumn<bool>("busPresent");
        QTest::addColumn<bool>("logindPresent");
        QTest::addColumn<QString>("inhibitSignature");
        QTest::addColumn<QString>("inhibitCode");
        QTest::addColumn<QString>("reasonPart");
        QTest::newRow("logind refuses the lock")
            << true << true << "h"
            << "raise dbus.exceptions.DBusException('Permission denied', "
               "name='org.freedesktop.DBus.Error.AccessDenied')"
            << "Permission denied (org.freedesktop.DBus.Error.AccessDenied)";
        QTest::newRow("logind answers without a descriptor")
            << true << true << "s"
            << "ret = 'locked'"
            << "org.freedesktop.DBus.Error.InvalidSignature";
        QTest::newRow("no logind on the system bus") << true << false << QString() << QString()
                                                     << "org.freedesktop.DBus.Error.ServiceUnknown";
        QTest::newRow("no system bus")
            << false << false << QString() << QString() << "no system bus";
    }

    void goesOnWithoutALockLogindWillNotGive()
    {
        QFETCH(bool, busPresent);
        QFETCH(bool, logindPresent);
        QFETCH(QString, inhibitSignature);
        QFETCH(QString, inhibitCode);
        QFETCH(QString, reasonPart);
        if (logindPresent) {
            QVERIFY(standIn.startLogind());
            QVERIFY(standIn.replaceInhibit(inhibitSignature, inhibitCode));
        }
        const QString missingBusName = QStringLiteral("missing system bus");
        const QDBusConnection target =
            busPresent
                ? LogindStandIn::bus()
                : QDBusConnection::connectToBus(
                      QStringLiteral("unix:path=") + standIn.missingSocket(), missingBusName);
        {
            SleepInhibitor inhibitor(programName, target);
            QVERIFY(!inhibitor.acquire());
            QVERIFY(!inhibitor.isHeld());
            QVERIFY2(inhibitor.reason().contains(reasonPart), qPrintable(inhibitor.reason()));
            inhibitor.release(); // harmless without a lock, as is the destructor after it
            QVERIFY(!inhibitor.reason().isEmpty());
        }
        QDBusConnection::disconnectFromBus(missingBusName);
        if (logindPresent) {
            QCOMPARE(standIn.inhibitCalls(), 1);
            QCOMPARE(standIn.inhibitors(), QList<QStringList>());
        }
    }

    void givesUpOnALogindThatNeverAnswers_data()
    {
        QTest::addColumn<bool>("hooked");
        QTest::newRow("window: the hook runs while it waits") << true;
        QTest::newRow("console: waits without a hook") << false;
    }

    void givesUpOnALogindThatNeverAnswers()
    {
        QFETCH(bool, hooked);
        QVERIFY(standIn.startLogind());
        QCOMPARE(standIn.inhibitors(), QList<QStringList>()); // serving before it hangs
        QCOMPARE(::kill(standIn.logindPid(), SIGSTOP), 0);

        SleepInhibitor inhibitor(programName);
        inhibitor.setLockTimeoutMs(shortLockTimeoutMs);
        int hookRuns = 0;
        if (hooked)
            inhibitor.setWaitHook([&hookRuns] { ++hookRuns; });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!inhibitor.acquire());
        const qint64 waitedMs = clock.elapsed();
        QVERIFY2(waitedMs >= shortLockTimeoutMs && waitedMs < shortLockTimeoutMs + waitSlackMs,
                 qPrintable(QString::number(waitedMs)));
        QVERIFY(!inhibitor.isHeld());
        QCOMPARE(inhibitor.reason(),
                 QStringLiteral("logind did not answer within %1 ms").arg(shortLockTimeoutMs));
        QCOMPARE(hookRuns > 1, hooked);

        // A lock granted after the wait gave up is let go at once, not held behind the caller's
        // back until the inhibitor ends.
        QCOMPARE(::kill(standIn.logindPid(), SIGCONT), 0);
        QTRY_COMPARE(standIn.inhibitCalls(), 1);
        QTRY_COMPARE(standIn.inhibitors(), QList<QStringList>());
        QVERIFY(!inhibitor.isHeld());
    }
};

QTEST_GUILESS_MAIN(TestSleepInhibitor)
#include "tst_sleepinhibitor.moc"
