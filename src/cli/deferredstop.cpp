// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "deferredstop.h"

namespace {

// The signal that came, 0 for none; all a handler may safely do is note it.
volatile std::sig_atomic_t pending = 0;

extern "C" void note(int signal)
{
    pending = signal;
}

} // namespace

DeferredStop::DeferredStop()
{
    pending = 0;
    struct sigaction action
    {
    };
    action.sa_handler = note;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (std::size_t index = 0; index < heldSignals.size(); ++index)
        sigaction(heldSignals[index], &action, &previous[index]);
}

DeferredStop::~DeferredStop()
{
    for (std::size_t index = 0; index < heldSignals.size(); ++index)
        sigaction(heldSignals[index], &previous[index], nullptr);
    const int signal = pending;
    pending = 0;
    if (signal != 0)
        std::raise(signal);
}

bool DeferredStop::stopRequested()
{
    return pending != 0;
}
