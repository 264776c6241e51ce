// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "reporter.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <unistd.h>

namespace {

const char programPrefix[] = "lumetra-flash: ";
// A redraw of the bar at most this often: enough to look alive, cheap on slow terminals.
constexpr qint64 barRedrawMs = 100;
constexpr int barWidth = 30;
constexpr double bytesPerKibibyte = 1024.0;
constexpr int percentDone = 100;

// The window's colour names as terminal colours; "Black" (guidance) stays the default colour.
const char *terminalColour(const QString &colourName)
{
    if (colourName == QLatin1String("Green"))
        return "\033[32m";
    if (colourName == QLatin1String("Orange"))
        return "\033[33m";
    if (colourName == QLatin1String("Red"))
        return "\033[31m";
    return nullptr;
}

bool coloursWanted(bool terminal)
{
    // The NO_COLOR convention, and terminals that cannot show them.
    return terminal && qEnvironmentVariableIsEmpty("NO_COLOR") &&
           qEnvironmentVariable("TERM") != QLatin1String("dumb");
}

int percentOf(qint64 bytesSent, qint64 imageSize)
{
    return imageSize > 0 ? int(bytesSent * percentDone / imageSize) : percentDone;
}

} // namespace

Reporter::Reporter(bool json, bool quietOutput, bool trace)
    : jsonOutput(json), quiet(quietOutput), terminal(isatty(STDOUT_FILENO) == 1),
      colours(coloursWanted(terminal)),
      bar(terminal && !json && !quietOutput && !(trace && isatty(STDERR_FILENO) == 1))
{
}

void Reporter::write(FILE *stream, const QString &line)
{
    // A bar line in progress is ended first, so that no line is written over it.
    endBar();
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void Reporter::event(const QJsonObject &object)
{
    write(stdout, QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

void Reporter::status(const QString &text, const QString &colourName)
{
    lastStatus = text;
    if (quiet)
        return;
    if (jsonOutput) {
        event({{"event", "status"}, {"text", text}, {"colour", colourName}});
        return;
    }
    const char *colour = colours ? terminalColour(colourName) : nullptr;
    write(stdout, colour ? QLatin1String(colour) + text + QLatin1String("\033[0m") : text);
}

void Reporter::progress(const QString &imageName, qint64 bytesSent, qint64 imageSize)
{
    if (quiet || (!jsonOutput && !bar))
        return;
    if (imageName != progressImage || bytesSent == 0) {
        progressImage = imageName;
        progressClock.start();
        lastDrawMs = -1;
        lastPercent = -1;
    }
    const int percent = percentOf(bytesSent, imageSize);
    if (jsonOutput) {
        // One object per percent is plenty for a script and keeps the stream small.
        if (percent == lastPercent)
            return;
        lastPercent = percent;
        const qint64 elapsedMs = progressClock.elapsed();
        event({{"event", "progress"},
               {"image", imageName},
               {"percent", percent},
               {"bytes", bytesSent},
               {"total", imageSize},
               {"bytesPerSecond", elapsedMs > 0 ? bytesSent * 1000 / elapsedMs : 0}});
        return;
    }
    drawBar(bytesSent, imageSize);
}

void Reporter::drawBar(qint64 bytesSent, qint64 imageSize)
{
    const qint64 elapsedMs = progressClock.elapsed();
    const int percent = percentOf(bytesSent, imageSize);
    const bool done = percent >= percentDone;
    if (!done && lastDrawMs >= 0 && elapsedMs - lastDrawMs < barRedrawMs)
        return;
    lastDrawMs = elapsedMs;

    const int filled = percent * barWidth / percentDone;
    const double rate = elapsedMs > 0 ? bytesSent * 1000.0 / elapsedMs / bytesPerKibibyte : 0.0;
    const QString line = QStringLiteral("\r[%1%2] %3%  %4 / %5 bytes  %6 KiB/s\033[K")
                             .arg(QString(filled, QLatin1Char('#')))
                             .arg(QString(barWidth - filled, QLatin1Char('.')))
                             .arg(percent, 3)
                             .arg(bytesSent)
                             .arg(imageSize)
                             .arg(rate, 0, 'f', 1);
    const QByteArray bytes = line.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
    barOpen = true;
    if (done)
        endBar();
}

void Reporter::endBar()
{
    if (!barOpen)
        return;
    barOpen = false;
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Reporter::note(const QString &text)
{
    if (!quiet)
        write(stderr, QLatin1String(programPrefix) + text);
}

void Reporter::error(const QString &text)
{
    lastError = text;
    write(stderr, QLatin1String(programPrefix) + text);
}

void Reporter::reason(const QString &code, const QString &detail)
{
    reasonCode = code;
    reasonDetail = detail;
}

void Reporter::trace(const QString &text)
{
    write(stderr, text);
}

ExitCode Reporter::result(ExitCode code)
{
    if (jsonOutput) {
        const bool ok = code == ExitCode::Success;
        const bool known = !ok && !reasonCode.isEmpty();
        event({{"event", "result"},
               {"exitCode", int(code)},
               {"ok", ok},
               {"message", ok ? lastStatus : lastError},
               {"reason", known ? QJsonValue(reasonCode) : QJsonValue()},
               {"detail", known ? QJsonValue(reasonDetail) : QJsonValue()}});
    }
    return code;
}

void Reporter::print(const QString &line)
{
    write(stdout, line);
}

void Reporter::print(const QJsonDocument &document)
{
    write(stdout, QString::fromUtf8(document.toJson(QJsonDocument::Indented)).trimmed());
}
