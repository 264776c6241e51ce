// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "stopsignals.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The pipe's two ends: the handler writes, the event loop reads.
int pipeEnds[2] = {-1, -1};
// The exit status of a process killed by a signal, as shells report it, should raise() return.
constexpr int signalStatusBase = 128;

extern "C" void forward(int signal)
{
    const char number = char(signal);
    const ssize_t ignored = ::write(pipeEnds[1], &number, 1);
    (void)ignored;
}

} // namespace

StopSignals::StopSignals(QObject *parent) : QObject(parent)
{
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return; // without the pipe the signals keep their usual meaning
    notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &StopSignals::drain);
    struct sigaction action
    {
    };
    action.sa_handler = forward;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInterrupt);
    sigaction(SIGTERM, &action, &previousTerminate);
}

StopSignals::~StopSignals()
{
    if (!notifier)
        return;
    sigaction(SIGINT, &previousInterrupt, nullptr);
    sigaction(SIGTERM, &previousTerminate, nullptr);
    delete notifier;
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
}

void StopSignals::drain()
{
    char number = 0;
    while (::read(pipeEnds[0], &number, 1) == 1)
        emit received(int(number));
}

void StopSignals::endBy(int signal)
{
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    ::_exit(signalStatusBase + signal);
}
