// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "interruptguard.h"

#include <unistd.h>

namespace {

const char refusal[] = "lumetra-flash: Update in progress: please wait until it ends (press "
                       "Ctrl-C again to stop at once)\n";

extern "C" void refuseOnce(int)
{
    // Only async-signal-safe calls here. SA_RESETHAND has already put the default action back,
    // so the next signal ends the program.
    const ssize_t ignored = ::write(STDERR_FILENO, refusal, sizeof refusal - 1);
    (void)ignored;
}

} // namespace

InterruptGuard::InterruptGuard()
{
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
    return QString::fromLatin1(refusal).trimmed();
}

InterruptGuard::~InterruptGuard()
{
    sigaction(SIGINT, &previousInterrupt, nullptr);
    sigaction(SIGTERM, &previousTerminate, nullptr);
}
