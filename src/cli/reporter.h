// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "exitcode.h"
#include "jsonevent.h"
#include "metersession.h"
#include "updaterecord.h"
#include "updatestep.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>

class QJsonDocument;
class QJsonObject;
class QJsonValue;

// Everything the program prints, so that every sub-command speaks the same way:
//  - standard output carries results (listings), the window's status lines and the progress;
//  - standard error carries errors (always, one line each), notes and the protocol trace;
//  - with --json, status, progress and result are JSON objects, one a line, and listings are one
//    JSON document;
//  - the progress bar is drawn only on a terminal, redrawn in place at a modest rate; elsewhere
//    (a pipe, a log file) progress is a plain line at every tenth of an image;
//  - --quiet drops status lines, progress and notes, never errors or results;
//  - every line for a person shows control characters escaped (\x1b), so nothing a release server
//    or a meter sends can steer the terminal; JSON carries text as it came, escaped by JSON.
class Reporter
{
public:
    // With a protocol trace going to the same terminal, a bar redrawn in place would be torn
    // apart by the trace lines: it is left out then.
    Reporter(bool json, bool quiet, bool trace);

    // Set in the environment of update --all's workers, so that their results and their records
    // in the history say that a bench wrote them.
    static constexpr char benchWorkerVariable[] = "LUMETRA_BENCH_WORKER";

    // A step of the update in the window's words, coloured by its tone on a terminal; with --json
    // an event carrying the step's code beside the text. Steps without a line print nothing.
    void status(const UpdateStep &step);
    // How far the image being written has come.
    void progress(const ImageProgress &image);
    void note(const QString &text);
    void error(const QString &text);
    // What the user can do about the error just given: a line on standard error, even with
    // --quiet.
    void hint(const QString &text);
    // Why the command failed, for the result object: a stable code and its text.
    void reason(const QString &code, const QString &detail);
    void trace(const QString &text);
    // The meter that update or flash is about, for the result; unknown until one is chosen.
    void meter(const QString &portName, const QString &serialNumber);
    // The version being installed (null for a local file) and the images chosen for the meter,
    // for the result; unknown until chosen.
    void release(const QString &version, const QList<MeterImage> &images = {});
    // The outcome of update, flash and download: a result object with --json, whose message is
    // the last status line on success and the error line otherwise, with the meter's port and
    // serial number (null while unknown), the version and images, the seconds since the start,
    // and on failure its reason (a stable code; one that stands for the exit code when no more
    // precise one was given) and detail. Without --json nothing, as those have said it all.
    // Returns the code. The object is the record's (UpdateRecord::toJson), ended here.
    ExitCode result(ExitCode code);
    // The outcome as far as it is known: what result() prints, and what the update history keeps.
    // A caller that knows more (the meter's identifier, the branch, the signature) adds it here.
    UpdateRecord &record() { return outcome; }
    const UpdateRecord &record() const { return outcome; }
    // A result line or a listing document on standard output.
    void print(const QString &line);
    void print(const QJsonDocument &document);

    bool json() const { return jsonOutput; }
    bool isQuiet() const { return quiet; }
    // Whether progress is drawn as bars redrawn in place (on a terminal, without --json).
    bool drawsBars() const { return bar; }

    // Output for a caller that lays out lines of its own (the progress of several meters):
    // a line for a person, escaped and in the tone's colour when colours are on; a JSON event;
    // and terminal control bytes as they are.
    void line(const QString &text, UpdateStep::Tone tone = UpdateStep::Tone::Silent,
              bool toError = false);
    void event(const QJsonObject &object);
    void control(const QByteArray &bytes);

    // The progress of an image as a plain line shows it ("image 1 of 2: 40%  2432 / 6000
    // bytes"), and as a bar of barWidth characters with the rate.
    static QString progressText(const ImageProgress &image);
    static QString barText(const ImageProgress &image, double bytesPerSecond);
    static int percentOf(const ImageProgress &image);
    // A text as a line for a person shows it: every control character written out (\x1b).
    static QString escaped(const QString &text);
    // The share of an image at which a plain line is printed, in percent.
    static constexpr int percentPerStep = 10;
    // A text as JSON: null where it is unknown (empty).
    static QJsonValue jsonText(const QString &text);

private:
    void status(const QString &text, UpdateStep::Tone tone, QLatin1String step);
    void drawBar(const ImageProgress &image);
    void printStep(const ImageProgress &image);
    void endBar();
    // A line for a person, control characters escaped, in a terminal colour when given one.
    void writeText(FILE *stream, const QString &text, const char *colour = nullptr);
    // A line exactly as given: JSON, and text already made safe.
    void write(FILE *stream, const QString &line);

    const bool jsonOutput;
    const bool quiet;
    const bool terminal; // standard output is a terminal: colours
    const bool colours;
    const bool bar; // the progress bar is drawn

    QString lastStatus;
    QString lastError;
    QString reasonCode;
    QString reasonDetail;
    UpdateRecord outcome;
    QElapsedTimer runClock; // since the program started, for the result's seconds

    // The image whose progress is being shown.
    QString progressImage;
    QElapsedTimer progressClock; // since the image's first block
    qint64 lastDrawMs = -1;
    int lastPercent = -1;
    int lastStep = 0;     // the last tenth of the image given a plain line
    bool barOpen = false; // the cursor stands at the end of a bar line
};
