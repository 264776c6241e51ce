// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// history-benchmark: what the update history costs. It times the two writes of one run (begin
// and finish, each a transaction made durable on disk) and prints the median and the slowest;
// then it fills a history with 100,000 runs and times lumetra-flash history --json over it, the
// whole program from start to exit with its output sent to /dev/null, and the reading alone.
#include "updatehistory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int recordRuns = 200;
constexpr int manyRecords = 100000;
constexpr int listingRuns = 3;
constexpr double nanosecondsPerMillisecond = 1e6;
constexpr int processWaitMs = 120000;

UpdateRecord sampleRecord(int run)
{
    UpdateRecord record = UpdateRecord::started(UpdateRecord::Program::Bench);
    record.port = QStringLiteral("ttyACM0");
    record.serialNumber = QStringLiteral("LM%1").arg(run % 1000, 4, 10, QLatin1Char('0'));
    record.hardwareId = QStringLiteral("DOVUr3");
    record.version = QStringLiteral("1.2.0");
    record.branch = QStringLiteral("cust");
    record.source = QStringLiteral("https://releases.example.net");
    record.images = {{QStringLiteral("DOVUr3_main_firmware"), 262144, QString(64, u'a'), true}};
    return record;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// The copies are made by SQLite itself from the one record written through the history: writing
// 100,000 runs one by one, each made durable, would take minutes and measure the disk.
bool copyRecords(const QString &path, int count)
{
    QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "fill");
    database.setDatabaseName(path);
    bool ok = database.open();
    {
        QSqlQuery query(database);
        const QString copies =
            QStringLiteral(
                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                "INSERT INTO updates (started_at, ended_at, program, port, serial_number, "
                "hardware_id, version, branch, source, key_id, signed_at, result, exit_code, "
                "message, reason, detail, seconds) SELECT started_at, ended_at, program, port, "
                "printf('LM%04d', i % 1000), hardware_id, version, branch, source, key_id, "
                "signed_at, result, exit_code, message, reason, detail, seconds FROM updates, n")
                .arg(count - 1);
        const QString images = QStringLiteral(
            "INSERT INTO images (update_id, position, name, bytes, sha256, confirmed) "
            "SELECT u.id, 0, i.name, i.bytes, i.sha256, i.confirmed FROM updates u, "
            "(SELECT * FROM images LIMIT 1) i WHERE u.id > 1");
        for (const QString &statement :
             {QStringLiteral("BEGIN"), copies, images, QStringLiteral("COMMIT")}) {
            if (ok && !query.exec(statement)) {
                std::fprintf(stderr, "%s\n", qPrintable(query.lastError().text()));
                ok = false;
            }
        }
    }
    database.close();
    database = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    return ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir scratch;
    const QString path = scratch.filePath(QStringLiteral("history.sqlite"));

    std::vector<double> writes;
    {
        UpdateHistory history(path);
        QElapsedTimer clock;
        for (int run = 0; run < recordRuns; ++run) {
            UpdateRecord record = sampleRecord(run);
            clock.start();
            const std::optional<qint64> id = history.begin(record);
            record.end(0);
            if (!id || !history.finish(*id, record)) {
                std::fprintf(stderr, "%s\n", qPrintable(history.problem()));
                return 1;
            }
            writes.push_back(double(clock.nsecsElapsed()) / nanosecondsPerMillisecond);
        }
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf(
        "one record (begin waits for the disk, finish does not; WAL), %d runs: median %.2f ms, "
        "slowest %.2f ms (aim: under 5 ms)\n",
        recordRuns, median(writes), *std::max_element(writes.begin(), writes.end()));

    const QString bigPath = scratch.filePath(QStringLiteral("big.sqlite"));
    {
        UpdateHistory history(bigPath);
        UpdateRecord record = sampleRecord(0);
        const std::optional<qint64> id = history.begin(record);
        record.end(0);
        if (!id || !history.finish(*id, record))
            return 1;
    }
    if (!copyRecords(bigPath, manyRecords))
        return 1;

    std::vector<double> reads;
    for (int run = 0; run < listingRuns; ++run) {
        UpdateHistory history(bigPath);
        qsizetype bytes = 0;
        QElapsedTimer clock;
        clock.start();
        history.read({}, [&](const UpdateRecord &record) {
            bytes += QJsonDocument(record.toJson()).toJson(QJsonDocument::Compact).size();
        });
        reads.push_back(double(clock.nsecsElapsed()) / nanosecondsPerMillisecond);
    }
    std::printf("%d records read and made JSON in process: median %.0f ms\n", manyRecords,
                median(reads));

    std::vector<double> listings;
    for (int run = 0; run < listingRuns; ++run) {
        QProcess program;
        program.setStandardOutputFile(QProcess::nullDevice());
        QElapsedTimer clock;
        clock.start();
        program.start(QStringLiteral(LUMETRA_FLASH_PATH),
                      {QStringLiteral("--history"), bigPath, QStringLiteral("history"),
                       QStringLiteral("--json")});
        if (!program.waitForFinished(processWaitMs) || program.exitCode() != 0)
            return 1;
        listings.push_back(double(clock.nsecsElapsed()) / nanosecondsPerMillisecond);
    }
    std::printf("lumetra-flash history --json over %d records, to /dev/null: median %.0f ms "
                "(aim: under 500 ms)\n",
                manyRecords, median(listings));
    return 0;
}
