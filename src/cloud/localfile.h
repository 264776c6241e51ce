// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// Reads a local file that is to become a firmware image or a part of a release folder: opened
// once without blocking, refused unless the open descriptor is a regular file, and read from that
// same descriptor, never past a limit. So a device (/dev/zero), a FIFO, a socket or a name swapped
// to one of them between a look and the open can neither hang the program nor flood its memory,
// and a file larger than the limit is refused before any of it is read.
class LocalFile
{
public:
    struct Failure
    {
        bool missing = false; // there is no such file
        QString why;          // a clause for a person: "it is a FIFO, not a regular file"
    };

    // The whole file, or nothing with `failure` saying why.
    static std::optional<QByteArray> read(const QString &path, qint64 maximumBytes,
                                          Failure &failure);
};
