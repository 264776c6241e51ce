// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

// A system bus of this test process's own, and on it, when asked, python3-dbusmock's logind
// template standing in for logind. startBus() points DBUS_SYSTEM_BUS_ADDRESS at the bus, so it
// must run before anything connects to the system bus: the code under test then takes its usual
// road there, and the machine's own bus is never touched.
//
// Needs the compile definitions DBUS_DAEMON and SYSTEM_PYTHON3 (lumetra_use_logind_standin).
class LogindStandIn
{
public:
    ~LogindStandIn()
    {
        stopLogind();
        if (busDaemon.state() != QProcess::NotRunning) {
            busDaemon.terminate();
            busDaemon.waitForFinished();
        }
    }

    bool startBus()
    {
        if (!busDir.isValid())
            return false;
        const QString configPath = busDir.filePath(QStringLiteral("bus.conf"));
        QFile config(configPath);
        if (!config.open(QIODevice::WriteOnly))
            return false;
        config.write(QString::fromLatin1(busConfig)
                         .arg(busDir.filePath(QStringLiteral("system_bus_socket")))
                         .toUtf8());
        config.close();
        busDaemon.setStandardErrorFile(QProcess::nullDevice());
        busDaemon.start(QStringLiteral(DBUS_DAEMON),
                        {QStringLiteral("--config-file=") + configPath, QStringLiteral("--nofork"),
                         QStringLiteral("--print-address=1")});
        if (!busDaemon.waitForStarted())
            return false;
        // The daemon prints its address once it listens.
        while (!busDaemon.canReadLine()) {
            if (!busDaemon.waitForReadyRead(startLimitMs))
                return false;
        }
        const QByteArray address = busDaemon.readLine().trimmed();
        return !address.isEmpty() && qputenv("DBUS_SYSTEM_BUS_ADDRESS", address) &&
               bus().isConnected();
    }

    // A path in the bus's folder where nothing listens, for a bus that is missing.
    QString missingSocket() const { return busDir.filePath(QStringLiteral("missing_socket")); }

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
            QTest::qWait(startPollMs);
        }
        return true;
    }

    void stopLogind()
    {
        // SIGKILL also ends a stand-in that a test stopped.
        if (logind.state() != QProcess::NotRunning) {
            logind.kill();
            logind.waitForFinished();
        }
    }

    qint64 logindPid() const { return logind.processId(); }

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

    // The lock an update takes, as inhibitors() lists it.
    static QStringList updateLock(const QString &who)
    {
        return {QStringLiteral("sleep:shutdown:idle"), who,
                QStringLiteral("Updating the power meter's firmware"), QStringLiteral("block")};
    }

    static QDBusConnection bus() { return QDBusConnection::systemBus(); }

private:
    QDBusMessage callLogind(const QString &interface, const QString &method,
                            const QVariantList &arguments = {})
    {
        QDBusMessage call =
            QDBusMessage::createMethodCall(logindService, logindPath, interface, method);
        call.setArguments(arguments);
        return bus().call(call);
    }

    static constexpr int startLimitMs = 10000;
    static constexpr int startPollMs = 20;
    static constexpr const char *busConfig =
        // A bus that accepts everyone: the stand-in claims logind's name, the test calls it.
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
    inline static const QString logindService = QStringLiteral("org.freedesktop.login1");
    inline static const QString logindPath = QStringLiteral("/org/freedesktop/login1");
    inline static const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");
    inline static const QString mockInterface = QStringLiteral("org.freedesktop.DBus.Mock");

    QTemporaryDir busDir;
    QProcess busDaemon;
    QProcess logind;
};
