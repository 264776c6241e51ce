// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QtGlobal>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// Ends the test process with a message when the scope it guards outlives its limit. Serial I/O
// blocks the test's own thread, so QTRY and QSignalSpy cannot time out a call that hangs: a
// regression would otherwise stall until CTest's limit, minutes later, without saying where.
class Watchdog
{
public:
    Watchdog(int limitMs, const char *what)
        : thread([this, limitMs, what] {
              std::unique_lock<std::mutex> lock(mutex);
              if (!ended.wait_for(lock, std::chrono::milliseconds(limitMs),
                                  [this] { return done; }))
                  qFatal("%s did not end within %d ms", what, limitMs);
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        ended.notify_one();
        thread.join();
    }
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

private:
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
    std::thread thread; // last: it starts waiting on the members above at once
};
