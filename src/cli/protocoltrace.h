// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "seriallink.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

class Reporter;

// The protocol trace that support asks for: one line for every command byte, every packet (its
// block number, and what the header carries) and every answer of the meter, each with the time
// since the program started and, for answers, how long after the last write they came. It reads
// the bytes the link reports crossing the line, so it shows what was sent, not what was meant.
class ProtocolTrace
{
public:
    explicit ProtocolTrace(Reporter &reporter);

    void record(SerialLink::Direction direction, const QByteArray &bytes);

private:
    // Where the transfer stands, to tell a header, a wrapped data block 0 and the closing block.
    enum class Stage { Commands, Header, Data, Closing };

    QString sent(const QByteArray &bytes);
    QString packet(int block, const QByteArray &payload);
    QString received(const QByteArray &bytes) const;

    Reporter &reporter;
    QElapsedTimer clock;
    qint64 lastWriteMs = -1;
    Stage stage = Stage::Commands;
    bool dataSent = false;
};
