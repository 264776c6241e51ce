// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "updaterecord.h"

#include <QDateTime>
#include <QList>
#include <QSqlDatabase>
#include <QString>

#include <functional>
#include <optional>

class QSqlError;
class QSqlQuery;

// The update history: every update either program ran, one row each, in an SQLite file that the
// window and lumetra-flash share (and every worker of a bench, at once). Each user has one file
// in the standard data location; LUMETRA_HISTORY or lumetra-flash --history names another, for a
// bench that keeps its records on a share.
//
// A run is recorded in two writes: begin() before the first byte goes to the meter, which stores
// the record as "interrupted", and finish() at the end, which stores how it really ended. A run
// that is killed, crashes or loses its power in between thus leaves "interrupted", never nothing
// and never "complete".
//
// Nothing here ever fails an update: every call says through its result whether it worked, and
// problem() gives the one line that says why not, for the caller to show. A damaged file is moved
// aside under a name with the time and a new one started; notice() says so.
//
// The file holds two tables, updates (one row per run) and images (one row per image of a run),
// and its layout version in PRAGMA user_version. Writers use WAL and wait for each other up to
// busyTimeoutMs. Every object holds a connection of its own, on the thread that made it.
class UpdateHistory
{
public:
    struct Timing
    {
        // How long a write waits for another program's write to end: eight bench workers
        // finishing together queue for a few milliseconds each.
        int busyTimeoutMs = 10000;
    };

    // Which records to read; an empty field filters nothing.
    struct Filter
    {
        QString serialNumber;
        QString port;
        QDateTime since; // records started at or after it
    };

    // The layout this program writes. Older files are upgraded when opened; newer ones are read
    // but never written.
    static constexpr int schemaVersion = 2;
    // The name of the variable that names another history file.
    static constexpr char pathVariable[] = "LUMETRA_HISTORY";

    explicit UpdateHistory(const QString &path = defaultPath());
    ~UpdateHistory();
    UpdateHistory(const UpdateHistory &) = delete;
    UpdateHistory &operator=(const UpdateHistory &) = delete;

    // LUMETRA_HISTORY when set, else history.sqlite in the folder lumetra-updater of the user's
    // data location (~/.local/share/lumetra-updater/), the same for both programs whatever their
    // application names.
    static QString defaultPath();
    const QString &path() const { return file; }
    void setTiming(const Timing &timing) { limits = timing; }

    // Stores the record as "interrupted" and gives its id; nothing when it could not be written.
    std::optional<qint64> begin(const UpdateRecord &record);
    // Stores the whole record in place of the one begin() wrote.
    bool finish(qint64 id, const UpdateRecord &record);

    // Calls each for every record the filter lets through, newest first; false when the file
    // could not be read. A file that does not exist holds no records.
    bool read(const Filter &filter, const std::function<void(const UpdateRecord &)> &each);
    // The newest record of the meter with this serial number.
    std::optional<UpdateRecord> latest(const QString &serialNumber);

    // The record in one line, for the window's port list: "LM0121: 1.2.0 on 2026-12-07, complete".
    static QString summaryLine(const UpdateRecord &record);

    // Why the last call failed, as a clause for a line such as "the update was not recorded: ...".
    QString problem() const { return lastProblem; }
    // What was done about a damaged file, once; empty otherwise.
    QString notice() const { return lastNotice; }

private:
    enum class Access { Read, Write };

    bool open(Access access);
    bool openConnection();
    void closeConnection();
    bool prepareSchema(Access access);
    bool upgrade(int from);
    // Moves a damaged file aside (with its journal) and starts a new one.
    bool setAside();
    bool exec(QSqlQuery &query);
    bool exec(const QString &statement);
    bool fail(const QSqlError &error);
    bool failWith(const QString &problem);
    bool isDamage() const;
    void insertImages(qint64 id, const QList<ImageRecord> &images, bool &ok);
    bool writeRow(std::optional<qint64> id, const UpdateRecord &record);

    QString file;
    QString connection;
    QSqlDatabase database;
    Timing limits;
    bool ready = false;
    bool writable = false;
    bool setAsideOnce = false;
    int lastErrorCode = 0; // SQLite's primary result code of the last failure
    QString lastProblem;
    QString lastNotice;
};
