// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "pseudoterminal.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

PseudoTerminal::~PseudoTerminal()
{
    closeMaster();
}

bool PseudoTerminal::open()
{
    closeMaster();
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return false;
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        closeMaster();
        return false;
    }
    slave = QString::fromLocal8Bit(name);
    return true;
}

int PseudoTerminal::takeMasterFd()
{
    const int fd = master;
    master = -1;
    return fd;
}

void PseudoTerminal::closeMaster()
{
    if (master >= 0)
        ::close(master);
    master = -1;
}

QByteArray PseudoTerminal::readAvailable()
{
    QByteArray bytes;
    char buffer[4096];
    pollfd ready{master, POLLIN, 0};
    while (::poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN)) {
        const ssize_t count = ::read(master, buffer, sizeof buffer);
        if (count <= 0)
            break;
        bytes.append(buffer, count);
    }
    return bytes;
}
