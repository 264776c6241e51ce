// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QString>

#include <csignal>

// While it lives, the first Ctrl-C (SIGINT) or SIGTERM does not stop the program: an update cut
// short leaves the meter with half an image and the user without the result, and every wait of
// a run ends on its own. The window refuses to close for the same reason, in the same words.
// A second signal stops the program as usual, for a user who must get out whatever the cost.
class InterruptGuard
{
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard &) = delete;
    InterruptGuard &operator=(const InterruptGuard &) = delete;

    // The line that refuses the first signal, for a program that handles the signal itself.
    static QString refusalLine();
    // Whether the terminal's cursor stands at the end of a line being redrawn in place (the
    // progress bar): the refusal then starts on a new line instead of being written onto it.
    static void setLineOpen(bool open);

private:
    struct sigaction previousInterrupt
    {
    };
    struct sigaction previousTerminate
    {
    };
};
