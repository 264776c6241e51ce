// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "exitcode.h"
#include "reporter.h"
#include "updaterecord.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// What update --all shows while several meters are written at once, and the summary at the end.
// Every line about a meter starts with its port. On a terminal each meter has a line of its own
// at the bottom (its bar while an image is written, its last status line otherwise), redrawn in
// place below the lines that scroll; elsewhere each meter's progress is a plain line at every
// tenth of an image, as for one meter. With --json the workers' events are passed on with the
// port added, then the result of every meter in port order and a "bench" object.
//
// It writes through the program's Reporter, so --quiet, colours and escaping work as for one
// meter: texts from the workers came from a release server or a meter.
class BenchDisplay
{
public:
    BenchDisplay(Reporter &reporter, const QStringList &ports);

    void status(int meter, const QString &text, UpdateStep::Tone tone);
    void progress(int meter, const ImageProgress &image, double bytesPerSecond);
    // A line the meter's worker wrote to standard error: an error, a note or a trace line.
    void message(int meter, const QString &line);
    // With --json: a status or progress event of the meter's worker.
    void forward(int meter, QJsonObject event);
    // A line of the bench's own on standard error.
    void notice(const QString &line);
    // The table of results (port, serial, version, result, reason, seconds) and the line that
    // says how the bench ended; with --json, the results and the bench object.
    void summary(const QList<UpdateRecord> &results, ExitCode code, int firstFailure,
                 double seconds);

private:
    struct Meter
    {
        QString port;
        QString label; // the last status line, shown until an image is written
        ImageProgress image;
        double bytesPerSecond = 0;
        bool writing = false;
        int lastStep = 0; // the last tenth of the image given a plain line
    };

    void writeLine(const QString &text, UpdateStep::Tone tone, bool toError);
    QString barLine(const Meter &meter) const;
    void clearBars();
    void drawBars();

    Reporter &reporter;
    QList<Meter> meters;
    qsizetype portWidth = 0;
    int columns;           // of the terminal; lines are cut to fit so the redraw stays in place
    int barsShown = 0;     // lines of bars under the cursor's line
    QElapsedTimer redrawn; // since the bars were last drawn
};
