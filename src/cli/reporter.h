// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "exitcode.h"

#include <QElapsedTimer>
#include <QString>

class QJsonDocument;
class QJsonObject;

// Everything the program prints, so that every sub-command speaks the same way:
//  - standard output carries results (listings), the window's status lines and the progress;
//  - standard error carries errors (always, one line each), notes and the protocol trace;
//  - with --json, status, progress and result are JSON objects, one a line, and listings are one
//    JSON document;
//  - the progress bar is drawn only on a terminal, redrawn in place at a modest rate;
//  - --quiet drops status lines, progress and notes, never errors or results.
class Reporter
{
public:
    // With a protocol trace going to the same terminal, a bar redrawn in place would be torn
    // apart by the trace lines: it is left out then.
    Reporter(bool json, bool quiet, bool trace);

    // A status line in the window's words; the colour is the window's colour name.
    void status(const QString &text, const QString &colourName);
    // How far the image being written has come.
    void progress(const QString &imageName, qint64 bytesSent, qint64 imageSize);
    void note(const QString &text);
    void error(const QString &text);
    // Why the command failed, for the result object: a stable code and its text.
    void reason(const QString &code, const QString &detail);
    void trace(const QString &text);
    // The outcome of update and flash: a result object with --json, whose message is the last
    // status line on success and the error line otherwise, with the failure's reason and detail
    // when one was given (null otherwise). Without --json nothing, as those two have said it
    // all. Returns the code.
    ExitCode result(ExitCode code);
    // A result line or a listing document on standard output.
    void print(const QString &line);
    void print(const QJsonDocument &document);

    bool json() const { return jsonOutput; }

private:
    void drawBar(qint64 bytesSent, qint64 imageSize);
    void endBar();
    void event(const QJsonObject &object);
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

    // The image whose progress is being shown.
    QString progressImage;
    QElapsedTimer progressClock; // since the image's first block
    qint64 lastDrawMs = -1;
    int lastPercent = -1;
    bool barOpen = false; // the cursor stands at the end of a bar line
};
