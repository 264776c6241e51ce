// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "interruptguard.h"

#include "updatestep.h"

#include <QByteArray>

#include <array>
#include <cstring>
#include <unistd.h>

namespace {

// The refusal is written from the signal handler, which may not allocate: it is put together
// here beforehand, in the window's words.
std::array<char, 256> refusal{};
size_t refusalLength = 0;
// Set outside the handler, read in it.
volatile sig_atomic_t lineOpen = 0;
// Standard error goes to a terminal, where the open line may be: in a log a line break would
// only leave an empty line.
volatile sig_atomic_t errorsOnTerminal = 0;

QByteArray refusalText()
{
    return "lumetra-flash: " + UpdateStep::of(UpdateStep::Kind::StillRunning).text().toUtf8() +
           " (press Ctrl-C again to stop at once)\n";
}

void prepareRefusal()
{
    errorsOnTerminal = isatty(STDERR_FILENO) == 1 ? 1 : 0;
    const QByteArray text = refusalText();
    refusalLength = qMin(size_t(text.size()), refusal.size());
    std::memcpy(refusal.data(), text.constData(), refusalLength);
}

extern "C" void refuseOnce(int)
{
    // Only async-signal-safe calls here. SA_RESETHAND has already put the default action back,
    // so the next signal ends the program.
    if (lineOpen != 0 && errorsOnTerminal != 0) {
        const ssize_t ended = ::write(STDERR_FILENO, "\n", 1);
        (void)ended;
    }
    const ssize_t ignored = ::write(STDERR_FILENO, refusal.data(), refusalLength);
    (void)ignored;
}

} // namespace

InterruptGuard::InterruptGuard()
{
    prepareRefusal();
    struct sigaction action
    {
    };
    action.sa_handler = refuseOnce;
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInterrupt);
    sigaction(SIGTERM, &action, &previousTerminate);
}

QString InterruptGuard::refusalLine()
{
    return QString::fromUtf8(refusalText()).trimmed();
}

void InterruptGuard::setLineOpen(bool open)
{
    lineOpen = open ? 1 : 0;
}

InterruptGuard::~InterruptGuard()
{
    sigaction(SIGINT, &previousInterrupt, nullptr);
    sigaction(SIGTERM, &previousTerminate, nullptr);
}
