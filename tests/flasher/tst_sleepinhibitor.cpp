// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// SleepInhibitor against a stand-in logind: python3-dbusmock's logind template on a private
// system bus that this test starts for itself. The test points DBUS_SYSTEM_BUS_ADDRESS at it
// before anything connects, so the inhibitor takes the same road to the system bus as in the
// programs, and the machine's own bus is never touched.
#include "sleepinhibitor.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <signal.h>

namespace {
const QString logindService = QStringLiteral("org.freedesktop.login1");
const QString logindPath = QStringLiteral("/org/freedesktop/login1");
const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString mockInterface = QStringLiteral("org.freedesktop.DBus.Mock");
const QString programName = QStringLiteral("lumetra-flash");

// A bus that accepts everyone: the stand-in claims logind's name, the test calls it freely.
const char busConfig[] =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig>\n"
    "  <type>system</type>\n"
    "  <listen>unix:path=%1</listen>\n"
    "  <policy context=\"default\">\n"
    "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
    "    <allow eavesdrop=\"true\"/>\n"
    "    <allow own=\"*\"/>\n"
    "  </policy>\n"
    "</busconfig>\n";

constexpr int startLimitMs = 10000;
constexpr int shortLockTimeoutMs = 300;
// What a loaded sanitizer build may add to a wait that ends on time.
constexpr int waitSlackMs = 1000;
} // namespace

class TestSleepInhibitor : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir busDir;
    QProcess busDaemon;
    QProcess logind;

    static QDBusConnection bus() { return QDBusConnection::systemBus(); }

    bool startLogind()
    {
        logind.setProgram(QStringLiteral(SYSTEM_PYTHON3));
        logind.setArguments({QStringLiteral("-m"), QStringLiteral("dbusmock"), QStringLiteral("-l"),
                             busDir.filePath(QStringLiteral("logind.log")),
                             QStringLiteral("--template"), QStringLiteral("logind")});
        logind.setProcessChannelMode(QProcess::ForwardedChannels);
        logind.start();
        if (!logind.waitForStarted())
            return false;
        // Calls wait in the bus until the stand-in has loaded its template.
        QElapsedTimer clock;
        clock.start();
        while (!bus().interface()->isServiceRegistered(logindService).value()) {
            if (clock.elapsed() > startLimitMs || logind.state() != QProcess::Running)
                return false;
            QTest::qWait(20);
        }
        return true;
    }

    QDBusMessage callLogind(const QString &interface, const QString &method,
                            const QVariantList &arguments = {})
    {
        QDBusMessage call =
            QDBusMessage::createMethodCall(logindService, logindPath, interface, method);
        call.setArguments(arguments);
        return bus().call(call);
    }

    // Makes the stand-in's Inhibit run `code` (Python) and answer with `signature`.
    bool replaceInhibit(const QString &signature, const QString &code)
    {
        return callLogind(
                   mockInterface, QStringLiteral("AddMethod"),
                   {QString(), QStringLiteral("Inhibit"), QStringLiteral("ssss"), signature, code})
                   .type() == QDBusMessage::ReplyMessage;
    }

    // The locks the stand-in holds, each as what, who, why and mode.
    QList<QStringList> inhibitors()
    {
        const QDBusMessage answer = callLogind(managerInterface, QStringLiteral("ListInhibitors"));
        if (answer.type() != QDBusMessage::ReplyMessage)
            return {{QStringLiteral("ListInhibitors failed: ") + answer.errorMessage()}};
        const QDBusArgument list = answer.arguments().value(0).value<QDBusArgument>();
        QList<QStringList> locks;
        list.beginArray();
        while (!list.atEnd()) {
            QString what, who, why, mode;
            uint uid = 0, pid = 0;
            list.beginStructure();
            list >> what >> who >> why >> mode >> uid >> pid;
            list.endStructure();
            locks.append({what, who, why, mode});
        }
        list.endArray();
        return locks;
    }

    // How many Inhibit calls reached the stand-in.
    int inhibitCalls()
    {
        const QDBusMessage answer = callLogind(mockInterface, QStringLiteral("GetMethodCalls"),
                                               {QStringLiteral("Inhibit")});
        if (answer.type() != QDBusMessage::ReplyMessage)
            return -1;
        const QDBusArgument calls = answer.arguments().value(0).value<QDBusArgument>();
        int count = 0;
        calls.beginArray();
        while (!calls.atEnd()) {
            qulonglong when = 0;
            QVariantList arguments;
            calls.beginStructure();
            calls >> when >> arguments;
            calls.endStructure();
            ++count;
        }
        calls.endArray();
        return count;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(busDir.isValid());
        const QString configPath = busDir.filePath(QStringLiteral("bus.conf"));
        QFile config(configPath);
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(QString::fromLatin1(busConfig)
                         .arg(busDir.filePath(QStringLiteral("system_bus_socket")))
                         .toUtf8());
        config.close();
        busDaemon.setStandardErrorFile(QProcess::nullDevice());
        busDaemon.start(QStringLiteral(DBUS_DAEMON),
                        {QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"),
                         QStringLiteral("--print-address=1")});
        QVERIFY(busDaemon.waitForStarted());
        // The daemon prints its address once it listens.
        while (!busDaemon.canReadLine())
            QVERIFY(busDaemon.waitForReadyRead(startLimitMs));
        const QByteArray address = busDaemon.readLine().trimmed();
        QVERIFY(!address.isEmpty());
        QVERIFY(qputenv("DBUS_SYSTEM_BUS_ADDRESS", address));
        QVERIFY(bus().isConnected());
    }

    void cleanup()
    {
        // SIGKILL also ends a stand-in that a test stopped.
        if (logind.state() != QProcess::NotRunning) {
            logind.kill();
            logind.waitForFinished();
        }
    }

    void cleanupTestCase()
    {
        busDaemon.terminate();
        busDaemon.waitForFinished();
    }

    void locksWithTheUpdatesValuesUntilReleased_data()
    {
        QTest::addColumn<bool>("hooked");
        QTest::addColumn<bool>("byDestructor");
        QTest::newRow("console: release() closes the lock") << false << false;
        QTest::newRow("window: the destructor closes the lock") << true << true;
    }

    void locksWithTheUpdatesValuesUntilReleased()
    {
        QFETCH(bool, hooked);
        QFETCH(bool, byDestructor);
        QVERIFY(startLogind());
        auto inhibitor = std::make_unique<SleepInhibitor>(programName);
        if (hooked)
            inhibitor->waitHook = [] { QCoreApplication::processEvents(); };

        QVERIFY(inhibitor->acquire());
        QVERIFY(inhibitor->isHeld());
        QCOMPARE(inhibitor->reason(), QString());
        QVERIFY(inhibitor->acquire()); // a held lock is not taken twice
        const QList<QStringList> expected{{QStringLiteral("sleep:shutdown:idle"), programName,
                                           QStringLiteral("Updating the power meter's firmware"),
                                           QStringLiteral("block")}};
        QCOMPARE(inhibitors(), expected);

        if (byDestructor) {
            inhibitor.reset();
        } else {
            inhibitor->release();
            QVERIFY(!inhibitor->isHeld());
        }
        // logind lets go of a lock only when every copy of its descriptor is closed.
        QTRY_COMPARE(inhibitors(), QList<QStringList>());
        if (inhibitor) {
            // The next run takes a fresh lock.
            QVERIFY(inhibitor->acquire());
            QCOMPARE(inhibitors(), expected);
        }
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
        QTest::newRow("no logind on the system bus") << true << false << ""
                                                     << ""
                                                     << "org.freedesktop.DBus.Error.ServiceUnknown";
        QTest::newRow("no system bus") << false << false << ""
                                       << ""
                                       << "no system bus";
    }

    void goesOnWithoutALockLogindWillNotGive()
    {
        QFETCH(bool, busPresent);
        QFETCH(bool, logindPresent);
        QFETCH(QString, inhibitSignature);
        QFETCH(QString, inhibitCode);
        QFETCH(QString, reasonPart);
        if (logindPresent) {
            QVERIFY(startLogind());
            QVERIFY(replaceInhibit(inhibitSignature, inhibitCode));
        }
        const QString missingBusName = QStringLiteral("missing system bus");
        const QDBusConnection target =
            busPresent ? bus()
                       : QDBusConnection::connectToBus(
                             QStringLiteral("unix:path=") +
                                 busDir.filePath(QStringLiteral("missing_socket")),
                             missingBusName);
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
            QCOMPARE(inhibitCalls(), 1);
            QCOMPARE(inhibitors(), QList<QStringList>());
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
        QVERIFY(startLogind());
        QCOMPARE(inhibitors(), QList<QStringList>()); // serving before it hangs
        QCOMPARE(::kill(logind.processId(), SIGSTOP), 0);

        SleepInhibitor inhibitor(programName);
        inhibitor.lockTimeoutMs = shortLockTimeoutMs;
        int hookRuns = 0;
        if (hooked)
            inhibitor.waitHook = [&hookRuns] { ++hookRuns; };
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
        QCOMPARE(::kill(logind.processId(), SIGCONT), 0);
        QTRY_COMPARE(inhibitCalls(), 1);
        QTRY_COMPARE(inhibitors(), QList<QStringList>());
        QVERIFY(!inhibitor.isHeld());
    }
};

QTEST_GUILESS_MAIN(TestSleepInhibitor)
#include "tst_sleepinhibitor.moc"
