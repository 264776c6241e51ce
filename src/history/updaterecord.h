// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <optional>

class QJsonObject;

// One image of an update as the record keeps it: what was meant for the meter, and whether the
// meter confirmed every block of it.
struct ImageRecord
{
    QString name;
    qint64 bytes = 0;
    QString sha256; // lower-case hex
    bool confirmed = false;

    bool operator==(const ImageRecord &other) const;
};

// The outcome of one update: which meter got which firmware, when, from where and how it ended.
// It is the one shape of lumetra-flash's JSON result object (update, flash, download and every
// worker of update --all), of a row of the update history and of what the bench reads back from
// its workers, so that the keys are spelled in toJson() and fromJson() alone.
//
// A run fills it in as it learns things (the meter, the release, the images) and ends it with
// end(). Everything in it may come from a meter or a release server: escape it before it reaches
// a terminal, a rich-text widget or a spreadsheet.
struct UpdateRecord
{
    enum class Result {
        Complete,   // every image written and confirmed
        Failed,     // the run ended with a failure
        Interrupted // the run never said how it ended: killed, crashed or still running
    };
    enum class Program { Window, Terminal, Bench };

    QDateTime startedAt; // UTC
    QDateTime endedAt;   // UTC; invalid while the run goes on
    Program program = Program::Terminal;

    QString port;
    QString serialNumber;
    QString hardwareId; // the meter's answer to the product query
    QString version;    // null for a local file (flash)
    QString branch;
    QString source; // the release server's URL or the release folder
    QString keyId;  // the key that signed the catalogue; empty for an unsigned one
    QDateTime signedAt;
    QList<ImageRecord> images;

    Result result = Result::Interrupted;
    int exitCode = 0;
    QString message;
    QString reason; // a stable reason code; empty on success
    QString detail;
    std::optional<double> seconds; // none while unknown

    // A record of a run starting now.
    static UpdateRecord started(Program program);
    // Ends the record: its result from the exit code, its end time now, its seconds from the
    // start unless already set.
    void end(int code);
    bool ok() const { return result == Result::Complete; }

    // The result object of lumetra-flash's JSON output ("event": "result"). Unknown texts are
    // null; the reason and detail are null on success.
    QJsonObject toJson() const;
    // Reads a result object back; keys it lacks keep their defaults, and values of the wrong
    // type count as missing, since the object may come from another process.
    static UpdateRecord fromJson(const QJsonObject &object);

    // The stable words of the enums, as JSON, CSV and the history file store them.
    static QString resultName(Result result);
    static std::optional<Result> resultNamed(const QString &name);
    static QString programName(Program program);
    static std::optional<Program> programNamed(const QString &name);
    // A time as the record writes it: UTC, to the millisecond ("2026-12-07T10:15:00.000Z").
    static QString timeText(const QDateTime &time);
    static QDateTime timeFrom(const QString &text);

    bool operator==(const UpdateRecord &other) const;
};
