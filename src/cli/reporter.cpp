// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "reporter.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <unistd.h>

namespace {

const char programPrefix[] = "lumetra-flash: ";
const char colourReset[] = "\033[0m";
// A redraw of the bar at most this often: enough to look alive, cheap on slow terminals.
constexpr qint64 barRedrawMs = 100;
// Narrow enough that the bar, the image's place and the counts fit an 80-column terminal.
constexpr int barWidth = 20;
// Without a terminal, a line at every tenth of an image.
constexpr int percentPerStep = 10;
constexpr double bytesPerKibibyte = 1024.0;
constexpr int percentDone = 100;

// A terminal colour for each tone of a step: green stages, yellow flashing, red errors.
const char *terminalColour(UpdateStep::Tone tone)
{
    switch (tone) {
    case UpdateStep::Tone::Stage:
        return "\033[32m";
    case UpdateStep::Tone::Flashing:
        return "\033[33m";
    case UpdateStep::Tone::Failure:
        return "\033[31m";
    case UpdateStep::Tone::Silent:
        break;
    }
    return nullptr;
}

bool coloursWanted(bool terminal)
{
    // The NO_COLOR convention, and terminals that cannot show them.
    return terminal && qEnvironmentVariableIsEmpty("NO_COLOR") &&
           qEnvironmentVariable("TERM") != QLatin1String("dumb");
}

bool isControl(char16_t character)
{
    constexpr char16_t lastC0 = 0x1F;
    constexpr char16_t del = 0x7F;
    constexpr char16_t lastC1 = 0x9F;
    return character <= lastC0 || (character >= del && character <= lastC1);
}

// Text for a person at a terminal. Lines carry tags, image names and replies that a release
// server or a meter chose; a control character among them (an escape sequence, a carriage return,
// a newline starting a fake line) is shown as \x1b and the like instead of being obeyed.
QString shownOnTerminal(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar character : text) {
        if (isControl(character.unicode()))
            shown +=
                QStringLiteral("\\x%1").arg(uint(character.unicode()), 2, 16, QLatin1Char('0'));
        else
            shown += character;
    }
    return shown;
}

int percentOf(qint64 bytesSent, qint64 imageSize)
{
    return imageSize > 0 ? int(bytesSent * percentDone / imageSize) : percentDone;
}

QString placeOf(const ImageProgress &image)
{
    return QStringLiteral("image %1 of %2").arg(image.number).arg(image.count);
}

} // namespace

Reporter::Reporter(bool json, bool quietOutput, bool trace)
    : jsonOutput(json), quiet(quietOutput), terminal(isatty(STDOUT_FILENO) == 1),
      colours(coloursWanted(terminal)),
      bar(terminal && !json && !quietOutput && !(trace && isatty(STDERR_FILENO) == 1))
{
}

void Reporter::writeText(FILE *stream, const QString &text, const char *colour)
{
    const QString shown = shownOnTerminal(text);
    write(stream, colour ? QLatin1String(colour) + shown + QLatin1String(colourReset) : shown);
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

void Reporter::status(const UpdateStep &step)
{
    const QString text = step.text();
    if (text.isEmpty())
        return;
    lastStatus = text;
    if (quiet)
        return;
    if (jsonOutput) {
        event({{"event", "status"}, {"step", step.code()}, {"text", text}});
        return;
    }
    writeText(stdout, text, colours ? terminalColour(step.tone()) : nullptr);
}

void Reporter::progress(const ImageProgress &image)
{
    if (quiet)
        return;
    const qint64 bytesSent = image.bytesSent;
    if (image.name != progressImage || bytesSent == 0) {
        progressImage = image.name;
        progressClock.start();
        lastDrawMs = -1;
        lastPercent = -1;
        lastStep = 0;
    }
    const int percent = percentOf(bytesSent, image.size);
    if (jsonOutput) {
        // One object per percent is plenty for a script and keeps the stream small.
        if (percent == lastPercent)
            return;
        lastPercent = percent;
        const qint64 elapsedMs = progressClock.elapsed();
        event({{"event", "progress"},
               {"image", image.name},
               {"imageNumber", image.number},
               {"imageCount", image.count},
               {"percent", percent},
               {"bytes", bytesSent},
               {"total", image.size},
               {"bytesPerSecond", elapsedMs > 0 ? bytesSent * 1000 / elapsedMs : 0}});
        return;
    }
    if (bar)
        drawBar(image);
    else
        printStep(image);
}

void Reporter::printStep(const ImageProgress &image)
{
    // A log or a pipe cannot redraw: a bar there would be one endless line, and nothing at all
    // would leave a long transfer looking hung.
    const int percent = percentOf(image.bytesSent, image.size);
    const int step = percent / percentPerStep;
    if (step <= lastStep)
        return;
    lastStep = step;
    write(stdout, QStringLiteral("%1: %2%  %3 / %4 bytes")
                      .arg(placeOf(image))
                      .arg(percent)
                      .arg(image.bytesSent)
                      .arg(image.size));
}

void Reporter::drawBar(const ImageProgress &image)
{
    const qint64 bytesSent = image.bytesSent;
    const qint64 elapsedMs = progressClock.elapsed();
    const int percent = percentOf(bytesSent, image.size);
    const bool done = percent >= percentDone;
    if (!done && lastDrawMs >= 0 && elapsedMs - lastDrawMs < barRedrawMs)
        return;
    lastDrawMs = elapsedMs;

    const int filled = percent * barWidth / percentDone;
    const double rate = elapsedMs > 0 ? bytesSent * 1000.0 / elapsedMs / bytesPerKibibyte : 0.0;
    const QString line = QStringLiteral("\r%1 [%2%3] %4%  %5 / %6 bytes  %7 KiB/s\033[K")
                             .arg(placeOf(image))
                             .arg(QString(filled, QLatin1Char('#')))
                             .arg(QString(barWidth - filled, QLatin1Char('.')))
                             .arg(percent, 3)
                             .arg(bytesSent)
                             .arg(image.size)
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
        writeText(stderr, QLatin1String(programPrefix) + text);
}

void Reporter::error(const QString &text)
{
    lastError = text;
    writeText(stderr, QLatin1String(programPrefix) + text);
}

void Reporter::hint(const QString &text)
{
    writeText(stderr, QLatin1String(programPrefix) + text);
}

void Reporter::reason(const QString &code, const QString &detail)
{
    reasonCode = code;
    reasonDetail = detail;
}

void Reporter::trace(const QString &text)
{
    writeText(stderr, text);
}

QJsonValue Reporter::jsonText(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

void Reporter::meter(const QString &portName, const QString &serialNumber)
{
    meterPort = portName;
    meterSerialNumber = serialNumber;
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
               {"port", jsonText(meterPort)},
               {"serialNumber", jsonText(meterSerialNumber)},
               {"reason", known ? QJsonValue(reasonCode) : QJsonValue()},
               {"detail", known ? QJsonValue(reasonDetail) : QJsonValue()}});
    }
    return code;
}

void Reporter::print(const QString &line)
{
    writeText(stdout, line);
}

void Reporter::print(const QJsonDocument &document)
{
    write(stdout, QString::fromUtf8(document.toJson(QJsonDocument::Indented)).trimmed());
}
