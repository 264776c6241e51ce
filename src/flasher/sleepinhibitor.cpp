// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "sleepinhibitor.h"

#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QDeadlineTimer>
#include <QThread>

namespace {
const QString logindService = QStringLiteral("org.freedesktop.login1");
const QString logindPath = QStringLiteral("/org/freedesktop/login1");
const QString logindManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString inhibitMethod = QStringLiteral("Inhibit");
// Everything that would stop a transfer half-way: suspend, shutdown and the idle action (which
// is often a suspend). "block" holds them off until the lock is closed; "delay" would only
// postpone them by a few seconds.
const QString inhibitWhat = QStringLiteral("sleep:shutdown:idle");
const QString inhibitWhy = QStringLiteral("Updating the power meter's firmware");
const QString inhibitMode = QStringLiteral("block");
} // namespace

SleepInhibitor::SleepInhibitor(const QString &who, const QDBusConnection &bus) : bus(bus), who(who)
{
}

SleepInhibitor::~SleepInhibitor()
{
    release();
}

bool SleepInhibitor::acquire()
{
    if (isHeld())
        return true;
    failure.clear();
    if (!bus.isConnected()) {
        const QString why = bus.lastError().message();
        failure = why.isEmpty() ? QStringLiteral("no system bus")
                                : QStringLiteral("no system bus: ") + why;
        return false;
    }
    QDBusMessage inhibit =
        QDBusMessage::createMethodCall(logindService, logindPath, logindManager, inhibitMethod);
    inhibit << inhibitWhat << who << inhibitWhy << inhibitMode;
    const QDBusPendingReply<QDBusUnixFileDescriptor> reply = bus.asyncCall(inhibit);
    if (!waitForAnswer(reply)) {
        // The reply goes out of scope here: a lock granted after all ends as soon as it comes.
        failure = QStringLiteral("logind did not answer within %1 ms").arg(lockTimeoutMs);
        return false;
    }
    if (reply.isError()) {
        failure = QStringLiteral("no lock from logind: %1 (%2)")
                      .arg(reply.error().message(), reply.error().name());
        return false;
    }
    if (!reply.value().isValid()) {
        failure = QStringLiteral("logind's answer held no lock");
        return false;
    }
    lock = reply.value();
    return true;
}

bool SleepInhibitor::waitForAnswer(const QDBusPendingCall &call) const
{
    // The answer is taken in by Qt's own D-Bus thread, so it arrives whether or not this thread
    // processes events; the hook is only for the caller's sake.
    const QDeadlineTimer deadline(qMax(0, lockTimeoutMs));
    while (!call.isFinished()) {
        if (deadline.hasExpired())
            return false;
        if (waitHook)
            waitHook();
        QThread::msleep(ulong(qMin<qint64>(deadline.remainingTime(), waitSliceMs)));
    }
    return true;
}

void SleepInhibitor::release()
{
    // The reply that carried the descriptor is gone with acquire(), so this is its last copy:
    // dropping it closes the descriptor and ends the lock.
    lock = QDBusUnixFileDescriptor();
}
