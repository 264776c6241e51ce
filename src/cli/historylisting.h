// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "commandline.h"
#include "exitcode.h"

#include <QByteArray>
#include <QString>

class Reporter;
struct UpdateRecord;

// lumetra-flash history: the records of the update history, newest first, as a table that fits
// 80 columns, as JSON (one result object a line, the one update --json prints) or as CSV.
// Every text in a record came from a meter or a release server; each form escapes it its own way.
class HistoryListing
{
public:
    HistoryListing(const Invocation &invocation, Reporter &reporter);

    ExitCode run();

    // A record as a line of the table, and the table's header.
    static QString header();
    static QString line(const UpdateRecord &record);

private:
    void print(const UpdateRecord &record);
    void writeCsv(const QString &csv);
    // A line, already made safe, to the output, which is written out in large pieces.
    void writeLine(const QString &line);
    void flush();

    const Invocation &invocation;
    Reporter &reporter;
    bool terminal;
    QByteArray pending;
};
