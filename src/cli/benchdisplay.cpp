// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "benchdisplay.h"

#include <QJsonArray>
#include <QJsonValue>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const QString programPrefix = QStringLiteral("lumetra-flash: ");
const QString separator = QStringLiteral(": ");
// The bars are redrawn at most this often, as the one bar of a single meter is.
constexpr qint64 redrawMs = 100;
constexpr int percentDone = 100;
constexpr int defaultColumns = 80;
const QString columnGap = QStringLiteral("  ");
const QString unknownCell = QStringLiteral("-");
constexpr int secondsDecimals = 1;

int terminalColumns()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return defaultColumns;
}

QString cell(const QString &text)
{
    return text.isEmpty() ? unknownCell : Reporter::escaped(text);
}

QString secondsCell(const std::optional<double> &seconds)
{
    return seconds ? QString::number(*seconds, 'f', secondsDecimals) : unknownCell;
}

} // namespace

BenchDisplay::BenchDisplay(Reporter &output, const QStringList &ports)
    : reporter(output), columns(terminalColumns())
{
    for (const QString &port : ports) {
        meters.append({port, QString(), {}, 0, false, 0});
        portWidth = qMax(portWidth, port.size());
    }
}

void BenchDisplay::writeLine(const QString &text, UpdateStep::Tone tone, bool toError)
{
    clearBars();
    reporter.line(text, tone, toError);
    drawBars();
}

void BenchDisplay::status(int meter, const QString &text, UpdateStep::Tone tone)
{
    if (reporter.isQuiet())
        return;
    Meter &state = meters[meter];
    state.label = text;
    state.writing = false;
    writeLine(state.port + separator + text, tone, false);
}

void BenchDisplay::progress(int meter, const ImageProgress &image, double bytesPerSecond)
{
    if (reporter.isQuiet())
        return;
    Meter &state = meters[meter];
    if (image.name != state.image.name || image.bytesSent == 0)
        state.lastStep = 0;
    state.image = image;
    state.bytesPerSecond = bytesPerSecond;
    state.writing = true;
    const int percent = Reporter::percentOf(image);
    if (reporter.drawsBars()) {
        if (percent >= percentDone || !redrawn.isValid() || redrawn.elapsed() >= redrawMs) {
            clearBars();
            drawBars();
        }
        return;
    }
    const int step = percent / Reporter::percentPerStep;
    if (step <= state.lastStep)
        return;
    state.lastStep = step;
    writeLine(state.port + separator + Reporter::progressText(image), UpdateStep::Tone::Silent,
              false);
}

void BenchDisplay::message(int meter, const QString &line)
{
    // "lumetra-flash: text" becomes "lumetra-flash: <port>: text"; a trace line gets the port.
    const QString port = meters.at(meter).port + separator;
    const QString text = line.startsWith(programPrefix)
                             ? QString(programPrefix + port + line.mid(programPrefix.size()))
                             : QString(port + line);
    writeLine(text, UpdateStep::Tone::Silent, true);
}

void BenchDisplay::forward(int meter, QJsonObject event)
{
    if (reporter.isQuiet())
        return;
    event.insert(QStringLiteral("port"), meters.at(meter).port);
    reporter.event(event);
}

void BenchDisplay::notice(const QString &line)
{
    writeLine(line, UpdateStep::Tone::Silent, true);
}

QString BenchDisplay::barLine(const Meter &meter) const
{
    const QString text = meter.writing ? Reporter::barText(meter.image, meter.bytesPerSecond)
                                       : Reporter::escaped(meter.label);
    // A line longer than the terminal would wrap, and the redraw would no longer find its start.
    const QString line = meter.port.leftJustified(portWidth) + columnGap + text;
    return line.left(columns - 1);
}

void BenchDisplay::clearBars()
{
    if (barsShown == 0)
        return;
    // Up to the first bar line, then clear everything below.
    reporter.control(QStringLiteral("\033[%1A\r\033[J").arg(barsShown).toLatin1());
    barsShown = 0;
}

void BenchDisplay::drawBars()
{
    if (!reporter.drawsBars())
        return;
    QByteArray lines;
    for (const Meter &meter : std::as_const(meters))
        lines += barLine(meter).toUtf8() + "\033[K\n";
    reporter.control(lines);
    barsShown = int(meters.size());
    redrawn.start();
}

void BenchDisplay::summary(const QList<UpdateRecord> &results, ExitCode code, int firstFailure,
                           double seconds)
{
    const qsizetype updated = std::count_if(results.begin(), results.end(),
                                            [](const UpdateRecord &result) { return result.ok(); });
    QString line =
        results.isEmpty() ? QStringLiteral("no meter in bootloader mode found")
        : updated == results.size()
            ? QStringLiteral("All %1 meters updated").arg(results.size())
            : QStringLiteral("%1 of %2 meters updated; exit status %3 is that of %4, the first "
                             "failure in port order")
                  .arg(updated)
                  .arg(results.size())
                  .arg(int(code))
                  .arg(meters.at(firstFailure).port);
    // The bars stay as they ended, above the summary.
    barsShown = 0;
    if (reporter.json()) {
        QJsonArray failed;
        for (const UpdateRecord &result : results) {
            reporter.event(result.toJson());
            if (!result.ok())
                failed.append(result.port);
        }
        reporter.event(
            {{"event", "bench"},
             {"exitCode", int(code)},
             {"ok", code == ExitCode::Success},
             {"meters", results.size()},
             {"updated", updated},
             {"failed", failed},
             {"firstFailure",
              firstFailure < 0 ? QJsonValue() : QJsonValue(meters.at(firstFailure).port)},
             {"seconds", seconds},
             {"message", line}});
        return;
    }
    // Without a meter the error line has said it all.
    if (results.isEmpty())
        return;

    QList<QStringList> rows{{"PORT", "SERIAL", "VERSION", "RESULT", "REASON", "SECONDS"}};
    for (const UpdateRecord &result : results) {
        rows.append({cell(result.port), cell(result.serialNumber), cell(result.version),
                     result.ok() ? QStringLiteral("updated") : QStringLiteral("failed"),
                     cell(result.reason), secondsCell(result.seconds)});
    }
    QList<qsizetype> widths(rows.first().size(), 0);
    for (const QStringList &row : std::as_const(rows)) {
        for (qsizetype i = 0; i < row.size(); ++i)
            widths[i] = qMax(widths[i], row.at(i).size());
    }
    for (const QStringList &row : std::as_const(rows)) {
        QString text;
        for (qsizetype i = 0; i < row.size(); ++i)
            text +=
                i + 1 < row.size() ? row.at(i).leftJustified(widths.at(i)) + columnGap : row.at(i);
        reporter.line(text);
    }
    reporter.line(line,
                  code == ExitCode::Success ? UpdateStep::Tone::Stage : UpdateStep::Tone::Failure);
}
