// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <ctime>

// CPU seconds used so far by this thread or process (CLOCK_THREAD_CPUTIME_ID or
// CLOCK_PROCESS_CPUTIME_ID): set against wall time it shows whether waits block or spin.
inline double cpuSeconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}
