// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "benchdisplay.h"
#include "commandline.h"
#include "exitcode.h"
#include "stopsignals.h"
#include "updaterecord.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QSerialPortInfo>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <vector>

class QProcess;
class Reporter;

// update --all: every attached meter updated at once, each by a worker of its own, a
// lumetra-flash child process running "update --from FOLDER --port PORT --json". Each meter's
// run is thus exactly a single update, with its own link, flasher and checks, while the release
// is downloaded (or a release folder checked) once, by this process, for the whole bench.
//
// The workers' events are read as they come and shown per meter (BenchDisplay); their results
// make the summary. The exit status is 0 only when every meter was updated, and otherwise that
// of the first meter in port order that failed.
//
// Signals: the workers run in process groups of their own, so a Ctrl-C reaches this process
// only. As for one meter, the first is refused while any meter is being written; the second (or
// the first while none is) stops every worker at once, then this process.
class BenchTool
{
public:
    BenchTool(const Invocation &invocation, Reporter &reporter);
    ~BenchTool();
    BenchTool(const BenchTool &) = delete;
    BenchTool &operator=(const BenchTool &) = delete;

    // The meters attached now, in port order; false (after saying so) when there is none.
    bool findMeters();
    // The end of a bench without a meter (findMeters() said so): the bench object with --json.
    ExitCode endWithoutMeters();
    // A folder for the bench's own download of the release, removed with this object.
    QString releaseFolder();
    // Updates every meter from the release folder and says how it went.
    ExitCode run(const QString &folder);

private:
    struct Worker
    {
        QSerialPortInfo meter;
        std::unique_ptr<QProcess> process;
        QByteArray output; // standard output not yet a whole line
        QByteArray errors; // standard error not yet a whole line
        std::optional<UpdateRecord> result;
        bool writing = false; // between "Flashing Firmware" and the result
        bool ended = false;
    };

    void start(int index, const QString &folder);
    void readOutput(int index);
    void readErrors(int index);
    void handle(int index, const QJsonObject &object);
    void ended(int index, const QString &why);
    UpdateRecord lostResult(const Worker &worker, const QString &why) const;
    // The command line that updates this one meter as the bench would: a worker's own line
    // names the bench's temporary folder, and the user's line would update every meter again.
    QString retryCommand(const QSerialPortInfo &meter) const;
    void interrupted(int signal);

    const Invocation &invocation;
    Reporter &reporter;
    std::optional<QTemporaryDir> scratch;
    StopSignals stopSignals;
    std::vector<Worker> workers;
    std::unique_ptr<BenchDisplay> display;
    int running = 0;
    int signalsSeen = 0;
};
