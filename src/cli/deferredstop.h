// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <array>
#include <csignal>

// While it lives, SIGINT, SIGTERM and SIGHUP are held back instead of ending the program at once:
// the work in progress asks stopRequested() at its safe points and cleans up after itself (a
// release folder half written is removed). When it goes, a signal that came is delivered as if
// it had just arrived, so the program still ends as the user asked, with the usual status.
class DeferredStop
{
public:
    DeferredStop();
    ~DeferredStop();
    DeferredStop(const DeferredStop &) = delete;
    DeferredStop &operator=(const DeferredStop &) = delete;

    static bool stopRequested();

private:
    static constexpr std::array<int, 3> heldSignals{SIGINT, SIGTERM, SIGHUP};
    std::array<struct sigaction, heldSignals.size()> previous{};
};
