// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "historylisting.h"

#include "historycsv.h"
#include "reporter.h"
#include "updatehistory.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <unistd.h>

namespace {

// The table's columns: together, with two spaces between them, 80 characters.
struct Column
{
    const char *title;
    int width;
};
constexpr Column startedColumn{"STARTED (UTC)", 16};
constexpr Column portColumn{"PORT", 8};
constexpr Column serialColumn{"SERIAL", 10};
constexpr Column versionColumn{"VERSION", 9};
constexpr Column resultColumn{"RESULT", 11};
constexpr Column reasonColumn{"REASON", 16};
const QString columnGap = QStringLiteral("  ");
const QString unknownCell = QStringLiteral("-");
const QChar cut(0x2026); // an ellipsis where a text is cut to its column
constexpr qsizetype flushBytes = 64 * 1024;

QString cell(const QString &text, const Column &column, bool last = false)
{
    QString shown = text.isEmpty() ? unknownCell : Reporter::escaped(text);
    if (shown.size() > column.width)
        shown = shown.left(column.width - 1) + cut;
    return last ? shown : shown.leftJustified(column.width);
}

QString row(const QStringList &cells)
{
    return cells.join(columnGap);
}

} // namespace

HistoryListing::HistoryListing(const Invocation &invocationToRun, Reporter &output)
    : invocation(invocationToRun), reporter(output), terminal(isatty(STDOUT_FILENO) == 1)
{
}

QString HistoryListing::header()
{
    QStringList titles;
    for (const Column &column :
         {startedColumn, portColumn, serialColumn, versionColumn, resultColumn})
        titles.append(QString::fromLatin1(column.title).leftJustified(column.width));
    titles.append(QString::fromLatin1(reasonColumn.title));
    return row(titles);
}

QString HistoryListing::line(const UpdateRecord &record)
{
    const QString started = record.startedAt.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    return row({cell(started, startedColumn), cell(record.port, portColumn),
                cell(record.serialNumber, serialColumn), cell(record.version, versionColumn),
                cell(UpdateRecord::resultName(record.result), resultColumn),
                cell(record.reason, reasonColumn, true)});
}

void HistoryListing::print(const UpdateRecord &record)
{
    if (reporter.json())
        writeLine(QString::fromUtf8(QJsonDocument(record.toJson()).toJson(QJsonDocument::Compact)));
    else if (invocation.csv)
        writeCsv(HistoryCsv::row(record));
    else
        writeLine(Reporter::escaped(line(record)));
}

void HistoryListing::writeCsv(const QString &csv)
{
    // A spreadsheet gets the fields as they are; a person at a terminal sees control characters
    // written out, so that a serial number cannot steer the terminal.
    if (terminal)
        writeLine(Reporter::escaped(csv.chopped(2)));
    else
        pending += csv.toUtf8();
}

void HistoryListing::writeLine(const QString &line)
{
    pending += line.toUtf8() + '\n';
    if (pending.size() >= flushBytes)
        flush();
}

void HistoryListing::flush()
{
    // A hundred thousand records are written in large pieces, not a system call a line.
    reporter.control(pending);
    pending.clear();
}

ExitCode HistoryListing::run()
{
    UpdateHistory history(invocation.historyPath.isEmpty() ? UpdateHistory::defaultPath()
                                                           : invocation.historyPath);
    UpdateHistory::Filter filter;
    filter.serialNumber = invocation.serial;
    filter.port = invocation.port;
    filter.since = invocation.since;

    bool headed = false;
    int count = 0;
    const bool ok = history.read(filter, [&](const UpdateRecord &record) {
        if (!headed && !reporter.json()) {
            if (invocation.csv)
                writeCsv(HistoryCsv::header());
            else
                writeLine(header());
            headed = true;
        }
        print(record);
        ++count;
    });
    flush();
    if (!ok) {
        reporter.error(QStringLiteral("cannot read the update history: ") + history.problem());
        return ExitCode::Usage;
    }
    if (count == 0)
        reporter.note(QStringLiteral("no update recorded in %1%2")
                          .arg(history.path(), filter.serialNumber.isEmpty() &&
                                                       filter.port.isEmpty() &&
                                                       !filter.since.isValid()
                                                   ? QString()
                                                   : QStringLiteral(" that matches")));
    return ExitCode::Success;
}
