// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QString>

#include <functional>

class QDBusPendingCall;

// Keeps the computer from suspending, idling into suspend or shutting down while an update writes
// to the meter: a meter left half-written needs its bootloader again.
//
// The lock is a logind inhibitor on the system bus. logind hands back a file descriptor and keeps
// the lock until every copy of it is closed, so the lock is held in exactly one place: acquire()
// takes it, release() or the destructor closes it. It is a courtesy, not a condition: without a
// system bus or logind, or when logind refuses, the update runs as it would have anyway, and
// reason() says why for a trace.
//
// logind can be slow or hung. acquire() waits at most lockTimeoutMs, polling in slices of
// waitSliceMs and running waitHook between them (as SerialLink does), so a window keeps answering;
// then it goes on without the lock. A lock that arrives later is never kept: Qt drops an answer
// that nobody waits for any more, and with it the descriptor.
class SleepInhibitor
{
public:
    // `who` is the program's name as logind lists it. The bus is the system bus unless a test
    // brings its own.
    explicit SleepInhibitor(const QString &who,
                            const QDBusConnection &bus = QDBusConnection::systemBus());
    ~SleepInhibitor();

    // Takes the lock unless it is held already; true when it is held afterwards.
    bool acquire();
    // Closes the lock; nothing happens when none is held.
    void release();
    bool isHeld() const { return lock.isValid(); }
    // Why the last acquire() went on without the lock; empty while the lock is held.
    QString reason() const { return failure; }

    // How long acquire() waits for logind; runs the hook between the slices of that wait.
    void setLockTimeoutMs(int timeoutMs) { lockTimeoutMs = timeoutMs; }
    void setWaitHook(const std::function<void()> &hook) { waitHook = hook; }

    static constexpr int defaultLockTimeoutMs = 1000;
    static constexpr int waitSliceMs = 20;

private:
    Q_DISABLE_COPY_MOVE(SleepInhibitor)

    // Polls until logind answered or lockTimeoutMs ran out; false on the time-out.
    bool waitForAnswer(const QDBusPendingCall &call) const;

    QDBusConnection bus;
    QString who;
    QDBusUnixFileDescriptor lock;
    QString failure;
    int lockTimeoutMs = defaultLockTimeoutMs;
    std::function<void()> waitHook;
};
