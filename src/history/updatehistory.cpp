// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "updatehistory.h"

#include <QAtomicInteger>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QVariant>

namespace {

// The folder both programs share; neither program's application name, which differ.
const QString historyFolder = QStringLiteral("lumetra-updater");
const QString historyFileName = QStringLiteral("history.sqlite");
const QString driverName = QStringLiteral("QSQLITE");
// SQLite's primary result codes that this file tells apart (sqlite3.h).
constexpr int sqlitePermission = 3;
constexpr int sqliteBusy = 5;
constexpr int sqliteLocked = 6;
constexpr int sqliteReadOnly = 8;
constexpr int sqliteIoError = 10;
constexpr int sqliteCorrupt = 11;
constexpr int sqliteFull = 13;
constexpr int sqliteCantOpen = 14;
constexpr int sqliteNotADatabase = 26;
constexpr int primaryCodeMask = 0xff;
constexpr double millisecondsPerSecond = 1000.0;

QAtomicInteger<int> connectionCount;

// Every column of a record, in the order of the statements below.
const QString recordColumns = QStringLiteral(
    "started_at, ended_at, program, port, serial_number, hardware_id, version, branch, source, "
    "key_id, signed_at, result, exit_code, message, reason, detail, seconds");
constexpr int recordColumnCount = 17;

// Each step takes a file from the version before it to its own; step i makes version i + 1.
// Published steps never change: a new layout is a new step at the end.
const QList<QStringList> &upgradeSteps()
{
    static const QList<QStringList> steps{
        // 1: the runs and their images.
        {QStringLiteral("CREATE TABLE updates (id INTEGER PRIMARY KEY, started_at TEXT NOT NULL, "
                        "ended_at TEXT, program TEXT NOT NULL, port TEXT, serial_number TEXT, "
                        "hardware_id TEXT, version TEXT, branch TEXT, source TEXT, "
                        "result TEXT NOT NULL, exit_code INTEGER, message TEXT, reason TEXT, "
                        "detail TEXT, seconds REAL)"),
         QStringLiteral("CREATE TABLE images (update_id INTEGER NOT NULL REFERENCES updates(id) "
                        "ON DELETE CASCADE, position INTEGER NOT NULL, name TEXT, bytes INTEGER, "
                        "sha256 TEXT, confirmed INTEGER NOT NULL DEFAULT 0, "
                        "PRIMARY KEY (update_id, position))")},
        // 2: the signature of the catalogue, and the indexes that the window's port list and
        // the history command's filters read through.
        {QStringLiteral("ALTER TABLE updates ADD COLUMN key_id TEXT"),
         QStringLiteral("ALTER TABLE updates ADD COLUMN signed_at TEXT"),
         QStringLiteral("CREATE INDEX updates_by_serial ON updates (serial_number, started_at)"),
         QStringLiteral("CREATE INDEX updates_by_start ON updates (started_at)")},
    };
    return steps;
}

int primaryCode(const QSqlError &error)
{
    return error.nativeErrorCode().toInt() & primaryCodeMask;
}

QVariant textOrNull(const QString &text)
{
    return text.isEmpty() ? QVariant() : QVariant(text);
}

QVariant timeOrNull(const QDateTime &time)
{
    return time.isValid() ? QVariant(UpdateRecord::timeText(time)) : QVariant();
}

void bindRecord(QSqlQuery &query, const UpdateRecord &record, UpdateRecord::Result result)
{
    query.addBindValue(UpdateRecord::timeText(
        record.startedAt.isValid() ? record.startedAt : QDateTime::currentDateTimeUtc()));
    query.addBindValue(timeOrNull(record.endedAt));
    query.addBindValue(UpdateRecord::programName(record.program));
    query.addBindValue(textOrNull(record.port));
    query.addBindValue(textOrNull(record.serialNumber));
    query.addBindValue(textOrNull(record.hardwareId));
    query.addBindValue(textOrNull(record.version));
    query.addBindValue(textOrNull(record.branch));
    query.addBindValue(textOrNull(record.source));
    query.addBindValue(textOrNull(record.keyId));
    query.addBindValue(timeOrNull(record.signedAt));
    query.addBindValue(UpdateRecord::resultName(result));
    query.addBindValue(record.exitCode);
    query.addBindValue(record.message);
    query.addBindValue(textOrNull(record.reason));
    query.addBindValue(textOrNull(record.detail));
    query.addBindValue(record.seconds ? QVariant(*record.seconds) : QVariant());
}

UpdateRecord recordAt(const QSqlQuery &query)
{
    // Column 0 is the id; the record's columns follow in the order of recordColumns.
    int column = 1;
    const auto next = [&] { return query.value(column++); };
    UpdateRecord record;
    record.startedAt = UpdateRecord::timeFrom(next().toString());
    record.endedAt = UpdateRecord::timeFrom(next().toString());
    record.program =
        UpdateRecord::programNamed(next().toString()).value_or(UpdateRecord::Program::Terminal);
    record.port = next().toString();
    record.serialNumber = next().toString();
    record.hardwareId = next().toString();
    record.version = next().toString();
    record.branch = next().toString();
    record.source = next().toString();
    record.keyId = next().toString();
    record.signedAt = UpdateRecord::timeFrom(next().toString());
    record.result =
        UpdateRecord::resultNamed(next().toString()).value_or(UpdateRecord::Result::Interrupted);
    record.exitCode = next().toInt();
    record.message = next().toString();
    record.reason = next().toString();
    record.detail = next().toString();
    const QVariant seconds = next();
    if (!seconds.isNull())
        record.seconds = seconds.toDouble();
    return record;
}

} // namespace

UpdateHistory::UpdateHistory(const QString &path)
    : file(path),
      connection(QStringLiteral("lumetra-history-%1").arg(connectionCount.fetchAndAddRelaxed(1)))
{
}

UpdateHistory::~UpdateHistory()
{
    closeConnection();
}

QString UpdateHistory::defaultPath()
{
    const QString named = qEnvironmentVariable(pathVariable);
    if (!named.isEmpty())
        return named;
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QDir(data).filePath(historyFolder + QLatin1Char('/') + historyFileName);
}

bool UpdateHistory::openConnection()
{
    database = QSqlDatabase::addDatabase(driverName, connection);
    if (!database.isValid())
        return failWith(QStringLiteral("Qt's SQLite driver is missing (on Debian the package "
                                       "libqt6sql6-sqlite)"));
    database.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(limits.busyTimeoutMs));
    database.setDatabaseName(file);
    if (!database.open())
        return fail(database.lastError());
    return true;
}

void UpdateHistory::closeConnection()
{
    if (!database.isValid())
        return;
    database.close();
    database = QSqlDatabase();
    QSqlDatabase::removeDatabase(connection);
    ready = false;
}

bool UpdateHistory::open(Access access)
{
    lastProblem.clear();
    lastErrorCode = 0;
    if (ready && (access == Access::Read || writable))
        return true;
    closeConnection();
    if (access == Access::Write) {
        const QString folder = QFileInfo(file).absolutePath();
        if (!QDir().mkpath(folder))
            return failWith(QStringLiteral("cannot make the folder %1 for the update history; "
                                           "name another file with --history or %2")
                                .arg(folder, QLatin1String(pathVariable)));
    }
    if (!openConnection())
        return false;
    if (prepareSchema(access)) {
        ready = true;
        writable = access == Access::Write;
        return true;
    }
    // A file that is not a database, or a damaged one, is kept for whoever wants to look at it,
    // and the history starts again beside it: a record must not be lost for an old one.
    if (access != Access::Write || setAsideOnce || !isDamage())
        return false;
    closeConnection();
    if (!setAside() || !openConnection() || !prepareSchema(access))
        return false;
    ready = true;
    writable = true;
    return true;
}

bool UpdateHistory::prepareSchema(Access access)
{
    // WAL lets readers and the writers of a bench work at once. Reading changes nothing, so a
    // read-only copy can still be read.
    if (access == Access::Write && !exec(QStringLiteral("PRAGMA journal_mode=WAL")))
        return false;
    if (!exec(QStringLiteral("PRAGMA foreign_keys=ON")))
        return false;
    QSqlQuery version(database);
    if (!version.exec(QStringLiteral("PRAGMA user_version")) || !version.next())
        return fail(version.lastError());
    const int found = version.value(0).toInt();
    // A statement left open keeps its read snapshot, and SQLite refuses at once (without
    // waiting) to let a connection holding an old snapshot start writing.
    version.finish();
    if (found > schemaVersion) {
        if (access == Access::Read)
            return true;
        return failWith(QStringLiteral("the update history %1 was written by a newer Lumetra "
                                       "Updater (layout %2, this one knows %3); it is left as it "
                                       "is")
                            .arg(file)
                            .arg(found)
                            .arg(schemaVersion));
    }
    if (found == schemaVersion)
        return true;
    if (access == Access::Read && found == 0)
        return true; // an empty file: nothing to read, and nothing to write here
    return upgrade(found);
}

bool UpdateHistory::upgrade(int from)
{
    // BEGIN IMMEDIATE: of several programs opening a new file at once, one makes the tables and
    // the others, once it is done, find them made.
    if (!exec(QStringLiteral("BEGIN IMMEDIATE")))
        return false;
    QSqlQuery version(database);
    if (!version.exec(QStringLiteral("PRAGMA user_version")) || !version.next()) {
        fail(version.lastError());
        exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    from = version.value(0).toInt();
    version.finish();
    const QList<QStringList> &steps = upgradeSteps();
    for (int step = from; step < schemaVersion && step < int(steps.size()); ++step) {
        for (const QString &statement : steps.at(step)) {
            if (!exec(statement)) {
                const QString why = lastProblem;
                exec(QStringLiteral("ROLLBACK"));
                lastProblem = why;
                return false;
            }
        }
    }
    if (from < schemaVersion &&
        !exec(QStringLiteral("PRAGMA user_version=%1").arg(schemaVersion))) {
        exec(QStringLiteral("ROLLBACK"));
        return false;
    }
    return exec(QStringLiteral("COMMIT"));
}

bool UpdateHistory::setAside()
{
    setAsideOnce = true;
    const QString stamp =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'"));
    const QString aside = file + QStringLiteral(".damaged-") + stamp;
    if (!QFile::rename(file, aside))
        return failWith(QStringLiteral("the update history %1 is damaged and could not be moved "
                                       "aside; move or delete it")
                            .arg(file));
    // Its journal belongs to it, not to the new file.
    for (const QString &suffix : {QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        if (QFile::exists(file + suffix))
            QFile::rename(file + suffix, aside + suffix);
    }
    lastNotice = QStringLiteral("the update history %1 was damaged; it was moved to %2 and a new "
                                "one started")
                     .arg(file, aside);
    return true;
}

bool UpdateHistory::isDamage() const
{
    return lastErrorCode == sqliteCorrupt || lastErrorCode == sqliteNotADatabase;
}

bool UpdateHistory::exec(QSqlQuery &query)
{
    return query.exec() || fail(query.lastError());
}

bool UpdateHistory::exec(const QString &statement)
{
    QSqlQuery query(database);
    return query.exec(statement) || fail(query.lastError());
}

bool UpdateHistory::failWith(const QString &problem)
{
    lastProblem = problem;
    return false;
}

bool UpdateHistory::fail(const QSqlError &error)
{
    const QString text = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    lastErrorCode = primaryCode(error);
    switch (lastErrorCode) {
    case sqliteFull:
        return failWith(QStringLiteral("the disk holding the update history %1 is full; free some "
                                       "space there")
                            .arg(file));
    case sqliteBusy:
    case sqliteLocked:
        return failWith(QStringLiteral("the update history %1 stayed locked by another program "
                                       "for %2 s")
                            .arg(file)
                            .arg(limits.busyTimeoutMs / millisecondsPerSecond));
    case sqlitePermission:
    case sqliteReadOnly:
    case sqliteCantOpen:
    case sqliteIoError:
        return failWith(QStringLiteral("cannot write the update history %1 (%2); make it "
                                       "writable, or name another file with --history or %3")
                            .arg(file, text, QLatin1String(pathVariable)));
    case sqliteCorrupt:
    case sqliteNotADatabase:
        return failWith(QStringLiteral("the update history %1 is damaged (%2)").arg(file, text));
    default:
        break;
    }
    return failWith(QStringLiteral("the update history %1 failed: %2").arg(file, text));
}

std::optional<qint64> UpdateHistory::begin(const UpdateRecord &record)
{
    // The "interrupted" row must outlive a power cut: this commit waits for the disk.
    if (!open(Access::Write) || !exec(QStringLiteral("PRAGMA synchronous=FULL")) ||
        !exec(QStringLiteral("BEGIN IMMEDIATE")))
        return std::nullopt;
    QSqlQuery insert(database);
    insert.prepare(QStringLiteral("INSERT INTO updates (%1) VALUES (?%2)")
                       .arg(recordColumns, QStringLiteral(", ?").repeated(recordColumnCount - 1)));
    bindRecord(insert, record, UpdateRecord::Result::Interrupted);
    bool ok = exec(insert);
    const qint64 id = insert.lastInsertId().toLongLong();
    insert.finish();
    if (ok)
        insertImages(id, record.images, ok);
    if (!ok || !exec(QStringLiteral("COMMIT"))) {
        const QString why = lastProblem;
        exec(QStringLiteral("ROLLBACK"));
        lastProblem = why;
        return std::nullopt;
    }
    return id;
}

bool UpdateHistory::finish(qint64 id, const UpdateRecord &record)
{
    // The end of a run is kept safe from a crash of the program without waiting for the disk: a
    // power cut right after it can only leave the row "interrupted", which never claims too much.
    if (!open(Access::Write) || !exec(QStringLiteral("PRAGMA synchronous=NORMAL")) ||
        !exec(QStringLiteral("BEGIN IMMEDIATE")))
        return false;
    QSqlQuery update(database);
    QString assignments = recordColumns;
    assignments.replace(QLatin1String(", "), QLatin1String(" = ?, ")).append(QLatin1String(" = ?"));
    update.prepare(QStringLiteral("UPDATE updates SET %1 WHERE id = ?").arg(assignments));
    bindRecord(update, record, record.result);
    update.addBindValue(id);
    bool ok = exec(update);
    if (ok && update.numRowsAffected() != 1)
        ok = failWith(
            QStringLiteral("the update history %1 has no record %2 to finish").arg(file).arg(id));
    update.finish();
    if (ok) {
        QSqlQuery remove(database);
        remove.prepare(QStringLiteral("DELETE FROM images WHERE update_id = ?"));
        remove.addBindValue(id);
        ok = exec(remove);
    }
    if (ok)
        insertImages(id, record.images, ok);
    if (!ok || !exec(QStringLiteral("COMMIT"))) {
        const QString why = lastProblem;
        exec(QStringLiteral("ROLLBACK"));
        lastProblem = why;
        return false;
    }
    return true;
}

void UpdateHistory::insertImages(qint64 id, const QList<ImageRecord> &images, bool &ok)
{
    QSqlQuery insert(database);
    insert.prepare(QStringLiteral("INSERT INTO images (update_id, position, name, bytes, sha256, "
                                  "confirmed) VALUES (?, ?, ?, ?, ?, ?)"));
    for (int position = 0; ok && position < int(images.size()); ++position) {
        const ImageRecord &image = images.at(position);
        insert.addBindValue(id);
        insert.addBindValue(position);
        insert.addBindValue(image.name);
        insert.addBindValue(image.bytes);
        insert.addBindValue(image.sha256);
        insert.addBindValue(image.confirmed ? 1 : 0);
        ok = exec(insert);
    }
}

bool UpdateHistory::read(const Filter &filter,
                         const std::function<void(const UpdateRecord &)> &each)
{
    lastProblem.clear();
    if (!QFileInfo::exists(file))
        return true;
    if (!open(Access::Read))
        return false;
    QSqlQuery version(database);
    if (!version.exec(QStringLiteral("PRAGMA user_version")) || !version.next())
        return fail(version.lastError());
    if (version.value(0).toInt() == 0)
        return true; // made by nothing of ours, or never written: no records
    version.finish();

    QStringList conditions;
    QVariantList values;
    if (!filter.serialNumber.isEmpty()) {
        conditions.append(QStringLiteral("u.serial_number = ?"));
        values.append(filter.serialNumber);
    }
    if (!filter.port.isEmpty()) {
        conditions.append(QStringLiteral("u.port = ?"));
        values.append(filter.port);
    }
    if (filter.since.isValid()) {
        conditions.append(QStringLiteral("u.started_at >= ?"));
        values.append(UpdateRecord::timeText(filter.since));
    }
    QString columns = recordColumns;
    columns.replace(QLatin1String(", "), QLatin1String(", u.")).prepend(QLatin1String("u."));
    // One pass: a row per image (or one without), grouped by the run they belong to. Ordered by
    // the index on the start alone, which holds the id too: ordering by the image's place as well
    // would sort every row of the file again. A run's images come in the order of their key, the
    // run's id and their place.
    QSqlQuery query(database);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT u.id, %1, i.name, i.bytes, i.sha256, i.confirmed "
                                 "FROM updates u LEFT JOIN images i ON i.update_id = u.id %2 "
                                 "ORDER BY u.started_at DESC, u.id DESC")
                      .arg(columns, conditions.isEmpty()
                                        ? QString()
                                        : QStringLiteral("WHERE ") +
                                              conditions.join(QLatin1String(" AND "))));
    for (const QVariant &value : std::as_const(values))
        query.addBindValue(value);
    if (!query.exec())
        return fail(query.lastError());
    constexpr int imageColumn = recordColumnCount + 1;
    std::optional<UpdateRecord> current;
    qint64 currentId = -1;
    while (query.next()) {
        const qint64 id = query.value(0).toLongLong();
        if (!current || id != currentId) {
            if (current)
                each(*current);
            current = recordAt(query);
            currentId = id;
        }
        if (!query.isNull(imageColumn))
            current->images.append({query.value(imageColumn).toString(),
                                    query.value(imageColumn + 1).toLongLong(),
                                    query.value(imageColumn + 2).toString(),
                                    query.value(imageColumn + 3).toInt() != 0});
    }
    if (query.lastError().isValid())
        return fail(query.lastError());
    if (current)
        each(*current);
    return true;
}

std::optional<UpdateRecord> UpdateHistory::latest(const QString &serialNumber)
{
    if (serialNumber.isEmpty())
        return std::nullopt;
    // The newest comes first; reading stops being useful after it, and a meter has few records.
    std::optional<UpdateRecord> newest;
    Filter filter;
    filter.serialNumber = serialNumber;
    read(filter, [&](const UpdateRecord &record) {
        if (!newest)
            newest = record;
    });
    return newest;
}

QString UpdateHistory::summaryLine(const UpdateRecord &record)
{
    const QString what =
        record.version.isEmpty() ? QStringLiteral("a local image") : record.version;
    return QStringLiteral("%1: %2 on %3, %4")
        .arg(record.serialNumber.isEmpty() ? record.port : record.serialNumber, what,
             record.startedAt.toUTC().date().toString(Qt::ISODate),
             UpdateRecord::resultName(record.result));
}
