// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QByteArray>
#include <QString>

// A plain pseudo-terminal pair: the program under test opens slavePath() as its serial port, the
// simulator plays the device on the master end. Closing the master hangs the port up, which is
// what unplugging the meter does to an open port.
class PseudoTerminal
{
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool open();
    QString slavePath() const { return slave; }
    int masterFd() const { return master; }
    // Gives the master end away (e.g. to a simulator that closes it to play an unplug); the
    // pseudo-terminal then no longer closes it.
    int takeMasterFd();
    void closeMaster();
    // What the program has written to the slave end and nobody has read yet; never waits.
    QByteArray readAvailable();

private:
    int master = -1;
    QString slave;
};
