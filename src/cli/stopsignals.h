// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QObject>

#include <csignal>

class QSocketNotifier;

// While it lives, SIGINT and SIGTERM do not end the program: each arrives in the event loop as
// received(), for a program that must decide itself what a signal stops (the bench, whose meters
// are written by processes of their own). The handler only writes the signal's number into a
// pipe that the event loop watches: nothing else is safe inside a signal handler.
//
// At most one lives at a time; it puts the previous handlers back when it goes.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // Ends the program as the signal would have ended it without any handler, so that the shell
    // sees the usual status (130 after Ctrl-C).
    [[noreturn]] static void endBy(int signal);

signals:
    void received(int signal);

private:
    void drain();

    QSocketNotifier *notifier = nullptr;
    struct sigaction previousInterrupt
    {
    };
    struct sigaction previousTerminate
    {
    };
};
