// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

// A port the user may not open, made on a machine where the tests may run as root: root passes
// every file permission only through CAP_DAC_OVERRIDE (and CAP_DAC_READ_SEARCH for reading), so
// without those two it meets a device file's mode bits as any user does. Without root the
// capabilities are not there to drop, and the mode bits apply anyway.
namespace FileAccess {

constexpr unsigned overrideCapabilities = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);

// While it lives, the calling thread (capabilities belong to threads) has neither capability in
// its effective set; they come back afterwards, as they stay permitted.
class WithoutOverride
{
public:
    WithoutOverride()
    {
        if (::syscall(SYS_capget, &header, saved) != 0)
            return;
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        reduced[0].effective &= ~overrideCapabilities;
        active = ::syscall(SYS_capset, &header, reduced) == 0;
    }
    ~WithoutOverride()
    {
        if (active)
            ::syscall(SYS_capset, &header, saved);
    }
    WithoutOverride(const WithoutOverride &) = delete;
    WithoutOverride &operator=(const WithoutOverride &) = delete;

private:
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2]{};
    bool active = false;
};

// For a child process about to run a program: the program starts without either capability,
// even as root (a program run as root gets what the bounding set allows). Async-signal-safe, for
// QProcess::setChildProcessModifier.
inline void dropOverrideForChild()
{
    ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
    ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
}

} // namespace FileAccess
