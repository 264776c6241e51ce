// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "reporter.h"

#include "interruptguard.h"
#include "reason.h"

#include <QCryptographicHash>
#include <QJsonArray>
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
constexpr double bytesPerKibibyte = 1024.0;
constexpr double millisecondsPerSecond = 1000.0;
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

// The reason a failed result gives when the code that failed named none more precise: what the
// exit code stands for, in the words of a reason code.
QString reasonOf(ExitCode code)
{
    switch (code) {
    case ExitCode::Success:
        break;
    case ExitCode::Usage:
        return reasonCode(Reason::Usage);
    case ExitCode::NoMeter:
        return reasonCode(Reason::NoMeter);
    case ExitCode::NotCompatible:
        return reasonCode(Reason::NotCompatible);
    case ExitCode::Catalogue:
        return reasonCode(Reason::Catalogue);
    case ExitCode::Download:
        return reasonCode(Reason::Download);
    case ExitCode::Flashing:
        return reasonCode(Reason::FlashingFailed);
    case ExitCode::CannotWrite:
        return reasonCode(Reason::CannotWrite);
    }
    return QString();
}

QList<ImageRecord> imageRecords(const QList<MeterImage> &images)
{
    QList<ImageRecord> records;
    for (const MeterImage &image : images) {
        const QByteArray digest =
            QCryptographicHash::hash(image.bytes, QCryptographicHash::Sha256).toHex();
        records.append({image.name, image.bytes.size(), QString::fromLatin1(digest), false});
    }
    return records;
}

} // namespace

Reporter::Reporter(bool json, bool quietOutput, bool trace)
    : jsonOutput(json), quiet(quietOutput), terminal(isatty(STDOUT_FILENO) == 1),
      colours(coloursWanted(terminal)),
      bar(terminal && !json && !quietOutput && !(trace && isatty(STDERR_FILENO) == 1)),
      outcome(UpdateRecord::started(qEnvironmentVariableIsSet(benchWorkerVariable)
                                        ? UpdateRecord::Program::Bench
                                        : UpdateRecord::Program::Terminal))
{
    runClock.start();
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
    if (!text.isEmpty())
        status(text, step.tone(), step.code());
}

void Reporter::status(const QString &text, UpdateStep::Tone tone, QLatin1String step)
{
    lastStatus = text;
    if (quiet)
        return;
    if (jsonOutput) {
        event(JsonEvent::status(step, text).toJson());
        return;
    }
    writeText(stdout, text, colours ? terminalColour(tone) : nullptr);
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
    const int percent = percentOf(image);
    if (jsonOutput) {
        // One object per percent is plenty for a script and keeps the stream small.
        if (percent == lastPercent)
            return;
        lastPercent = percent;
        const qint64 elapsedMs = progressClock.elapsed();
        event(JsonEvent::progress(image, percent, elapsedMs > 0 ? bytesSent * 1000 / elapsedMs : 0)
                  .toJson());
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
    const int step = percentOf(image) / percentPerStep;
    if (step <= lastStep)
        return;
    lastStep = step;
    write(stdout, progressText(image));
}

QString Reporter::escaped(const QString &text)
{
    return shownOnTerminal(text);
}

int Reporter::percentOf(const ImageProgress &image)
{
    return ::percentOf(image.bytesSent, image.size);
}

QString Reporter::progressText(const ImageProgress &image)
{
    return QStringLiteral("%1: %2%  %3 / %4 bytes")
        .arg(placeOf(image))
        .arg(percentOf(image))
        .arg(image.bytesSent)
        .arg(image.size);
}

QString Reporter::barText(const ImageProgress &image, double bytesPerSecond)
{
    const int percent = percentOf(image);
    const int filled = percent * barWidth / percentDone;
    return QStringLiteral("%1 [%2%3] %4%  %5 / %6 bytes  %7 KiB/s")
        .arg(placeOf(image))
        .arg(QString(filled, QLatin1Char('#')))
        .arg(QString(barWidth - filled, QLatin1Char('.')))
        .arg(percent, 3)
        .arg(image.bytesSent)
        .arg(image.size)
        .arg(bytesPerSecond / bytesPerKibibyte, 0, 'f', 1);
}

void Reporter::drawBar(const ImageProgress &image)
{
    const qint64 elapsedMs = progressClock.elapsed();
    const bool done = percentOf(image) >= percentDone;
    if (!done && lastDrawMs >= 0 && elapsedMs - lastDrawMs < barRedrawMs)
        return;
    lastDrawMs = elapsedMs;

    const double rate =
        elapsedMs > 0 ? double(image.bytesSent) * millisecondsPerSecond / double(elapsedMs) : 0.0;
    const QByteArray bytes = "\r" + barText(image, rate).toUtf8() + "\033[K";
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
    barOpen = true;
    InterruptGuard::setLineOpen(true);
    if (done)
        endBar();
}

void Reporter::endBar()
{
    if (!barOpen)
        return;
    barOpen = false;
    InterruptGuard::setLineOpen(false);
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
    writeText(stderr, QLatin1String(programPrefix) + text);
}

QJsonValue Reporter::jsonText(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

void Reporter::meter(const QString &portName, const QString &serialNumber)
{
    outcome.port = portName;
    outcome.serialNumber = serialNumber;
}

void Reporter::release(const QString &version, const QList<MeterImage> &images)
{
    outcome.version = version;
    outcome.images = imageRecords(images);
}

ExitCode Reporter::result(ExitCode code)
{
    const bool ok = code == ExitCode::Success;
    const bool known = !reasonCode.isEmpty();
    outcome.message = ok ? lastStatus : lastError;
    outcome.reason = ok ? QString() : known ? reasonCode : reasonOf(code);
    outcome.detail = ok ? QString() : known ? reasonDetail : lastError;
    outcome.seconds = double(runClock.elapsed()) / millisecondsPerSecond;
    outcome.end(int(code));
    if (jsonOutput)
        event(outcome.toJson());
    return code;
}

void Reporter::line(const QString &text, UpdateStep::Tone tone, bool toError)
{
    writeText(toError ? stderr : stdout, text,
              colours && !toError ? terminalColour(tone) : nullptr);
}

void Reporter::control(const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void Reporter::print(const QString &line)
{
    writeText(stdout, line);
}

void Reporter::print(const QJsonDocument &document)
{
    write(stdout, QString::fromUtf8(document.toJson(QJsonDocument::Indented)).trimmed());
}
