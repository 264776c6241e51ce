// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "fileaccess.h"
#include "historycsv.h"
#include "updatehistory.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

namespace {

constexpr int benchWorkers = 8;
constexpr int recordsPerWorker = 15;
constexpr int processWaitMs = 60000;
constexpr int terminalColumns = 80;

UpdateRecord sampleRecord(const QString &serial = QStringLiteral("LM0121"),
                          const QString &version = QStringLiteral("1.2.0"),
                          const QString &when = QStringLiteral("2026-12-07T10:00:00.000Z"))
{
    UpdateRecord record;
    record.startedAt = UpdateRecord::timeFrom(when);
    record.program = UpdateRecord::Program::Terminal;
    record.port = QStringLiteral("ttyACM0");
    record.serialNumber = serial;
    record.hardwareId = QStringLiteral("DOVUr3");
    record.version = version;
    record.branch = QStringLiteral("cust");
    record.source = QStringLiteral("http://127.0.0.1:8737");
    record.images = {{QStringLiteral("DOVUr3_main_firmware"), 6000, QString(64, u'f'), true}};
    return record;
}

// The fields of RFC 4180 text, as a spreadsheet would read them.
QList<QStringList> parseCsv(const QString &text)
{
    QList<QStringList> rows{{}};
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c == u'"' && text.mid(i + 1, 1) == QLatin1String("\"")) {
                field += c;
                ++i;
            } else if (c == u'"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == u'"') {
            quoted = true;
        } else if (c == u',') {
            rows.last().append(field);
            field.clear();
        } else if (c == u'\r' && text.mid(i + 1, 1) == QLatin1String("\n")) {
            rows.last().append(field);
            field.clear();
            rows.append(QStringList());
            ++i;
        } else {
            field += c; // outside quotes: a malformed file; kept to show up in the comparison
        }
    }
    if (rows.last().isEmpty())
        rows.removeLast();
    return rows;
}

struct Output
{
    int exitCode = -1;
    QString out;
    QString err;
};

Output lumetraFlash(const QStringList &arguments)
{
    QProcess program;
    program.start(QStringLiteral(LUMETRA_FLASH_PATH), arguments);
    program.waitForFinished(processWaitMs);
    return {program.exitCode(), QString::fromUtf8(program.readAllStandardOutput()),
            QString::fromUtf8(program.readAllStandardError())};
}

} // namespace

class TestUpdateHistory : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void recordLeftInterruptedUntilFinished();
    void eightWritersAtOnceLoseNothing();
    void damagedFileIsSetAside_data();
    void damagedFileIsSetAside();
    void unwritableFolderSaysWhy_data();
    void unwritableFolderSaysWhy();
    void oldLayoutIsUpgraded();
    void newerLayoutIsLeftAlone();
    void csvQuotesAndDefuses_data();
    void csvQuotesAndDefuses();
    void summaryLineNamesTheLatestUpdate();
    void historyCommand_data();
    void historyCommand();

private:
    QTemporaryDir scratch;
};

void TestUpdateHistory::initTestCase()
{
    QVERIFY(scratch.isValid());
}

void TestUpdateHistory::recordLeftInterruptedUntilFinished()
{
    UpdateHistory history(scratch.filePath(QStringLiteral("run.sqlite")));
    UpdateRecord record = sampleRecord();
    record.result = UpdateRecord::Result::Complete; // what a careless caller might pass
    const std::optional<qint64> id = history.begin(record);
    QVERIFY2(id, qPrintable(history.problem()));

    // A second connection, as another program would read it while the run goes on.
    QList<UpdateRecord> seen;
    UpdateHistory reader(history.path());
    QVERIFY(reader.read({}, [&](const UpdateRecord &r) { seen.append(r); }));
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen.first().result, UpdateRecord::Result::Interrupted);
    QVERIFY(!seen.first().endedAt.isValid());

    record.keyId = QStringLiteral("E2F5C1A0B3D4F697");
    record.signedAt = UpdateRecord::timeFrom(QStringLiteral("2026-12-01T08:00:00.000Z"));
    record.images.append({QStringLiteral("DOVUr3_aux"), 4096, QString(64, u'0'), false});
    record.end(0);
    QVERIFY2(history.finish(*id, record), qPrintable(history.problem()));
    seen.clear();
    QVERIFY(reader.read({}, [&](const UpdateRecord &r) { seen.append(r); }));
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen.first(), record);
    // What the history keeps is what update --json prints, and reads back the same.
    QCOMPARE(UpdateRecord::fromJson(seen.first().toJson()), record);
    QVERIFY(!history.finish(*id + 1, record));
}

void TestUpdateHistory::eightWritersAtOnceLoseNothing()
{
    const QString path = scratch.filePath(QStringLiteral("bench.sqlite"));
    std::vector<std::unique_ptr<QProcess>> writers;
    for (int worker = 0; worker < benchWorkers; ++worker) {
        writers.push_back(std::make_unique<QProcess>());
        writers.back()->start(QStringLiteral(HISTORY_WRITER_PATH),
                              {path, QStringLiteral("LM%1").arg(worker, 4, 10, QLatin1Char('0')),
                               QString::number(recordsPerWorker)});
    }
    for (const auto &writer : writers) {
        QVERIFY(writer->waitForFinished(processWaitMs));
        QVERIFY2(writer->exitCode() == 0, writer->readAllStandardError().constData());
    }
    QMap<QString, int> perMeter;
    UpdateHistory history(path);
    QVERIFY(history.read({}, [&](const UpdateRecord &record) {
        QCOMPARE(record.result, UpdateRecord::Result::Complete);
        QCOMPARE(record.images.size(), 1);
        ++perMeter[record.serialNumber];
    }));
    QCOMPARE(perMeter.size(), benchWorkers);
    for (int count : std::as_const(perMeter))
        QCOMPARE(count, recordsPerWorker);
}

void TestUpdateHistory::damagedFileIsSetAside_data()
{
    QTest::addColumn<QByteArray>("damage");
    QTest::newRow("not a database at all") << QByteArray("LM0121 updated fine, honest\n");
    // A real header followed by pages of noise: SQLite finds it out on the first read.
    QTest::newRow("header intact, pages overwritten")
        << (QByteArray("SQLite format 3", 16) + QByteArray(4080, '\xA5'));
}

void TestUpdateHistory::damagedFileIsSetAside()
{
    QFETCH(QByteArray, damage);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("history.sqlite"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(damage);
    file.close();

    UpdateHistory history(path);
    const std::optional<qint64> id = history.begin(sampleRecord());
    QVERIFY2(id, qPrintable(history.problem()));
    QVERIFY2(history.notice().contains(QLatin1String("was damaged; it was moved to")),
             qPrintable(history.notice()));
    const QStringList aside =
        QDir(folder.path()).entryList({QStringLiteral("history.sqlite.damaged-*")}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    QFile kept(folder.filePath(aside.first()));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), damage);
    int records = 0;
    QVERIFY(history.read({}, [&](const UpdateRecord &) { ++records; }));
    QCOMPARE(records, 1);
}

void TestUpdateHistory::unwritableFolderSaysWhy_data()
{
    QTest::addColumn<QString>("relativePath");
    QTest::addColumn<QString>("why");
    QTest::newRow("a read-only folder")
        << QStringLiteral("history.sqlite") << QStringLiteral("cannot write the update history");
    QTest::newRow("a folder that cannot be made")
        << QStringLiteral("records/history.sqlite") << QStringLiteral("cannot make the folder");
}

void TestUpdateHistory::unwritableFolderSaysWhy()
{
    QFETCH(QString, relativePath);
    QFETCH(QString, why);
    QTemporaryDir folder;
    QVERIFY(QFile::setPermissions(folder.path(), QFile::ReadOwner | QFile::ExeOwner));
    {
        // Root passes every mode bit; without the override it meets them as any user does.
        FileAccess::WithoutOverride asAnyUser;
        UpdateHistory history(folder.filePath(relativePath));
        QVERIFY(!history.begin(sampleRecord()));
        QVERIFY2(history.problem().contains(why), qPrintable(history.problem()));
        QVERIFY2(history.problem().contains(QLatin1String("--history")),
                 qPrintable(history.problem()));
    }
    QFile::setPermissions(folder.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void TestUpdateHistory::oldLayoutIsUpgraded()
{
    const QString path = scratch.filePath(QStringLiteral("layout1.sqlite"));
    {
        // The first layout, as the first program to keep a history wrote it.
        QSqlDatabase old = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "layout1");
        old.setDatabaseName(path);
        QVERIFY(old.open());
        QSqlQuery query(old);
        for (const char *statement :
             {"CREATE TABLE updates (id INTEGER PRIMARY KEY, started_at TEXT NOT NULL, "
              "ended_at TEXT, program TEXT NOT NULL, port TEXT, serial_number TEXT, "
              "hardware_id TEXT, version TEXT, branch TEXT, source TEXT, result TEXT NOT NULL, "
              "exit_code INTEGER, message TEXT, reason TEXT, detail TEXT, seconds REAL)",
              "CREATE TABLE images (update_id INTEGER NOT NULL REFERENCES updates(id) ON DELETE "
              "CASCADE, position INTEGER NOT NULL, name TEXT, bytes INTEGER, sha256 TEXT, "
              "confirmed INTEGER NOT NULL DEFAULT 0, PRIMARY KEY (update_id, position))",
              "INSERT INTO updates (started_at, program, serial_number, version, result, "
              "exit_code, seconds) VALUES ('2025-03-01T09:00:00.000Z', 'window', 'LM0042', "
              "'1.0.0', 'complete', 0, 41.5)",
              "PRAGMA user_version=1"})
            QVERIFY2(query.exec(QString::fromLatin1(statement)),
                     qPrintable(query.lastError().text()));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("layout1"));

    UpdateHistory history(path);
    UpdateRecord signedRun = sampleRecord();
    signedRun.keyId = QStringLiteral("E2F5C1A0B3D4F697");
    const std::optional<qint64> id = history.begin(signedRun);
    QVERIFY2(id, qPrintable(history.problem()));
    QList<UpdateRecord> seen;
    QVERIFY(history.read({}, [&](const UpdateRecord &r) { seen.append(r); }));
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen.at(0).keyId, signedRun.keyId);
    QCOMPARE(seen.at(1).version, QStringLiteral("1.0.0"));
    QCOMPARE(seen.at(1).program, UpdateRecord::Program::Window);
    QCOMPARE(seen.at(1).seconds, std::optional<double>(41.5));
    QVERIFY(seen.at(1).keyId.isEmpty());

    // The upgrade is done once: the file opens again as it is, its records kept.
    UpdateHistory reopened(path);
    QVERIFY2(reopened.begin(signedRun), qPrintable(reopened.problem()));
    QVERIFY(reopened.notice().isEmpty());
}

void TestUpdateHistory::newerLayoutIsLeftAlone()
{
    const QString path = scratch.filePath(QStringLiteral("future.sqlite"));
    {
        QSqlDatabase future = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "future");
        future.setDatabaseName(path);
        QVERIFY(future.open());
        QSqlQuery query(future);
        QVERIFY(query.exec(QStringLiteral("PRAGMA user_version=99")));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("future"));
    UpdateHistory history(path);
    QVERIFY(!history.begin(sampleRecord()));
    QVERIFY2(history.problem().contains(QLatin1String("newer")), qPrintable(history.problem()));
    QVERIFY(history.notice().isEmpty());
}

void TestUpdateHistory::csvQuotesAndDefuses_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("spreadsheetSees");
    QTest::newRow("plain") << "LM0121"
                           << "LM0121";
    QTest::newRow("a comma") << "LM01,21"
                             << "LM01,21";
    QTest::newRow("quotes") << "LM\"0121\""
                            << "LM\"0121\"";
    QTest::newRow("a new line") << "LM01\r\n21"
                                << "LM01\r\n21";
    QTest::newRow("a leading = runs a formula") << "=HYPERLINK(\"http://x.example\",\"LM0121\")"
                                                << "'=HYPERLINK(\"http://x.example\",\"LM0121\")";
    QTest::newRow("a leading +") << "+1+1"
                                 << "'+1+1";
    QTest::newRow("a leading -") << "-2+3"
                                 << "'-2+3";
    QTest::newRow("a leading @") << "@SUM(A1)"
                                 << "'@SUM(A1)";
    QTest::newRow("a leading tab") << "\t=1"
                                   << "'\t=1";
    QTest::newRow("a leading carriage return") << "\r=1"
                                               << "'\r=1";
    QTest::newRow("= inside is harmless") << "LM=0121"
                                          << "LM=0121";
}

void TestUpdateHistory::csvQuotesAndDefuses()
{
    QFETCH(QString, serial);
    QFETCH(QString, spreadsheetSees);
    UpdateRecord record = sampleRecord(serial);
    record.end(0);
    const QList<QStringList> rows = parseCsv(HistoryCsv::header() + HistoryCsv::row(record));
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.at(1).size(), rows.at(0).size());
    const qsizetype column = rows.at(0).indexOf(QStringLiteral("serial_number"));
    QCOMPARE(rows.at(1).at(column), spreadsheetSees);
    QCOMPARE(rows.at(1).at(rows.at(0).indexOf(QStringLiteral("result"))),
             QStringLiteral("complete"));
}

void TestUpdateHistory::summaryLineNamesTheLatestUpdate()
{
    UpdateHistory history(scratch.filePath(QStringLiteral("tooltip.sqlite")));
    QVERIFY(!history.latest(QStringLiteral("LM0121")));
    for (const auto &[version, day, code] :
         {std::tuple{"1.1.0", "2026-11-02", 0}, std::tuple{"1.2.0", "2026-12-07", 0},
          std::tuple{"1.3.0", "2026-12-01", 7}}) {
        UpdateRecord record =
            sampleRecord(QStringLiteral("LM0121"), QString::fromLatin1(version),
                         QString::fromLatin1(day) + QStringLiteral("T10:00:00.000Z"));
        const std::optional<qint64> id = history.begin(record);
        QVERIFY(id);
        record.end(code);
        QVERIFY(history.finish(*id, record));
    }
    QVERIFY(history.begin(sampleRecord(QStringLiteral("LM0999"), QStringLiteral("9.9.9"),
                                       QStringLiteral("2027-01-01T10:00:00.000Z"))));
    const std::optional<UpdateRecord> latest = history.latest(QStringLiteral("LM0121"));
    QVERIFY(latest);
    QCOMPARE(UpdateHistory::summaryLine(*latest),
             QStringLiteral("LM0121: 1.2.0 on 2026-12-07, complete"));
    QCOMPARE(UpdateHistory::summaryLine(*history.latest(QStringLiteral("LM0999"))),
             QStringLiteral("LM0999: 9.9.9 on 2027-01-01, interrupted"));
}

void TestUpdateHistory::historyCommand_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("serials"); // of the records listed, in order
    // The table escapes what a meter sent, then cuts it to its column.
    QTest::newRow("text, newest first")
        << QStringList{} << QStringList{"LM0003", "LM0002", QStringLiteral("\\x1b[2JLM\u2026")};
    QTest::newRow("json") << QStringList{"--json"}
                          << QStringList{"LM0003", "LM0002", "\x1b[2JLM0001"};
    QTest::newRow("csv") << QStringList{"--csv"}
                         << QStringList{"LM0003", "LM0002", "\x1b[2JLM0001"};
    QTest::newRow("--serial") << QStringList{"--serial", "LM0002"} << QStringList{"LM0002"};
    QTest::newRow("--port") << QStringList{"--port", "ttyACM7", "--json"} << QStringList{"LM0003"};
    QTest::newRow("--since a day")
        << QStringList{"--since", "2026-12-02", "--json"} << QStringList{"LM0003", "LM0002"};
    QTest::newRow("--since a time")
        << QStringList{"--since", "2026-12-02T10:00:01Z", "--json"} << QStringList{"LM0003"};
    QTest::newRow("nothing matches") << QStringList{"--serial", "LM9999"} << QStringList{};
}

void TestUpdateHistory::historyCommand()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, serials);
    const QString path = scratch.filePath(QStringLiteral("command.sqlite"));
    if (!QFile::exists(path)) {
        UpdateHistory history(path);
        int day = 1;
        for (const QString &serial : {QStringLiteral("\x1b[2JLM0001"), QStringLiteral("LM0002"),
                                      QStringLiteral("LM0003")}) {
            UpdateRecord record =
                sampleRecord(serial, QStringLiteral("1.2.%1").arg(day),
                             QStringLiteral("2026-12-0%1T10:00:00.000Z").arg(day));
            record.port = QStringLiteral("ttyACM%1").arg(day * 2 + 1);
            const std::optional<qint64> id = history.begin(record);
            QVERIFY(id);
            record.end(day == 2 ? 7 : 0);
            record.reason =
                day == 2 ? QStringLiteral("meter-not-ready-for-a-long-while") : QString();
            QVERIFY(history.finish(*id, record));
            ++day;
        }
    }

    const Output result = lumetraFlash(QStringList{"--history", path, "history"} + arguments);
    QCOMPARE(result.exitCode, 0);
    QStringList listed;
    if (arguments.contains(QLatin1String("--json"))) {
        for (const QString &line : result.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
            QCOMPARE(object.value(QLatin1String("event")).toString(), QStringLiteral("result"));
            QVERIFY(object.value(QLatin1String("startedAt")).isString());
            QVERIFY(object.value(QLatin1String("endedAt")).isString());
            listed.append(UpdateRecord::fromJson(object).serialNumber);
        }
    } else if (arguments.contains(QLatin1String("--csv"))) {
        QList<QStringList> rows = parseCsv(result.out);
        QVERIFY(!rows.isEmpty());
        const qsizetype column = rows.takeFirst().indexOf(QStringLiteral("serial_number"));
        for (const QStringList &row : std::as_const(rows))
            listed.append(row.at(column));
    } else {
        QStringList lines = result.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        if (!serials.isEmpty())
            QVERIFY(lines.takeFirst().startsWith(QLatin1String("STARTED (UTC)")));
        for (const QString &line : std::as_const(lines)) {
            QVERIFY2(line.size() <= terminalColumns, qPrintable(line));
            // The date and time, the port, then the serial number.
            listed.append(line.split(QLatin1Char(' '), Qt::SkipEmptyParts).value(3));
        }
        if (serials.isEmpty())
            QVERIFY2(result.err.contains(QLatin1String("no update recorded")),
                     qPrintable(result.err));
    }
    QCOMPARE(listed, serials);
}

QTEST_GUILESS_MAIN(TestUpdateHistory)
#include "tst_updatehistory.moc"
