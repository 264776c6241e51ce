// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QSemaphore>
#include <QThread>

#include <memory>

// Ends the test process with a message when the scope it guards outlives its limit. Serial I/O
// blocks the test's own thread, so QTRY and QSignalSpy cannot time out a call that hangs: a
// regression would otherwise stall until CTest's limit, minutes later, without saying where.
class Watchdog
{
public:
    Watchdog(int limitMs, const char *what)
        : thread(QThread::create([this, limitMs, what] {
              if (!ended.tryAcquire(1, limitMs))
                  qFatal("%s did not end within %d ms", what, limitMs);
          }))
    {
        thread->start();
    }
    ~Watchdog()
    {
        ended.release();
        thread->wait();
    }

private:
    QSemaphore ended;
    std::unique_ptr<QThread> thread; // last: it waits on the semaphore above
};
