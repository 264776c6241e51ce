// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// lumetra-flash as a script runs it: the real program as a child process, simulated meters
// behind USB ttys that udev (umockdev) reports with the meter's ids, and a release server on
// loopback. Each row gives the command line and what must come of it: the exit status, standard
// output, the error line, and what the meter received.
#include "powermetersimulator.h"
#include "privatesettings.h"
#include "pseudoterminal.h"
#include "releasefolder.h"
#include "releaseserver.h"
#include "usbtestbed.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

// The longest row takes two real 6 s line waits; a program that hangs fails the row at this limit.
constexpr int programTimeoutMs = 30000;
constexpr int terminalPollMs = 50;

const QString custBranch = QStringLiteral("cust");
const QString labsBranch = QStringLiteral("labs/rf-team");

// What the release server publishes on the standard branch for every row: a beta, a version with
// two images for the meter beside another model's, one whose published checksum does not match
// its image, and the newest with firmware for another model only.
const ReleaseVersions &custVersions()
{
    static const QByteArray checked = ReleaseFolder::image(6000, 3);
    static const ReleaseVersions versions{
        {"1.0.0", {{"DOVUr3_main_firmware", ReleaseFolder::image(5000, 1)}}},
        {"1.1.0-beta", {{"DOVUr3_main_firmware", ReleaseFolder::image(4096, 2)}}},
        {"2.0.0",
         {{"DOVUr3_a_firmware", checked, ReleaseFolder::sha256(checked)},
          {"DOVUr3_b_firmware", ReleaseFolder::image(4096, 4)},
          {"QX7Lm2_main_firmware", ReleaseFolder::image(7000, 5)}}},
        {"2.1.0",
         {{"DOVUr3_main_firmware", ReleaseFolder::image(4400, 8),
           ReleaseFolder::sha256("tampered")}}},
        {"9.0.0", {{"QX7Lm2_main_firmware", ReleaseFolder::image(4200, 7)}}}};
    return versions;
}

QByteArray localImage()
{
    return ReleaseFolder::image(5000, 10);
}

struct Result
{
    int exitCode = -1;
    QString out;
    QString err;
};

// An image a meter holds after the run, as "<meter index> <name> <SHA-256 of the bytes>".
QString flashed(int meter, const QString &name, const QByteArray &bytes)
{
    return QStringLiteral("%1 %2 %3").arg(meter).arg(name, ReleaseFolder::sha256(bytes));
}

QString servedTo(int meter, const QString &tag, const QString &key)
{
    for (const auto &[versionTag, images] : custVersions()) {
        for (const ReleaseImage &image : images) {
            if (versionTag == tag && image.key == key)
                return flashed(meter, key, image.bytes);
        }
    }
    return QString();
}

// One row of the table: a command line and everything that must come of it.
struct Row
{
    QStringList arguments;
    int exitCode = 0;
    int meters = 1;
    QString savedBranch; // null: nothing saved
    QString out;         // standard output exactly; a JSON document is compared as such
    QString err;         // in the one line on standard error; empty: nothing there
    PowerMeterOptions meter;
    ServerFaults faults;
    QStringList flashed;      // in the order the meters are numbered, see flashed()
    bool terminal = false;    // standard output is a terminal
    QStringList traced;       // lines of the protocol trace on standard error (--trace)
    bool interrupted = false; // Ctrl-C once the first image is being written (on a terminal)
    QString reason;           // with --json: the result's reason code and detail, if any
    QString detail;

    Row &withMeters(int count) { return meters = count, *this; }
    Row &saved(const QString &branch) { return savedBranch = branch, *this; }
    Row &prints(const QString &text) { return out = text, *this; }
    Row &complains(const QString &text) { return err = text, *this; }
    Row &meterAnswers(const QByteArray &reply) { return meter.productReply = reply, *this; }
    Row &meterCancelsAt(int block)
    {
        meter.fault = PowerMeterOptions::Fault::CancelAtBlock;
        meter.faultBlock = block;
        return *this;
    }
    Row &serverFails(const QString &pathContains, int status, bool neverAnswer = false)
    {
        faults.pathContains = pathContains;
        faults.status = status;
        faults.neverAnswer = neverAnswer;
        return *this;
    }
    Row &writes(const QStringList &images) { return flashed = images, *this; }
    Row &onTerminal() { return terminal = true, *this; }
    Row &interruptedOnce() { return interrupted = true, *this; }
    Row &traces(const QStringList &lines) { return traced = lines, *this; }
    Row &because(const QString &code, const QString &text)
    {
        reason = code;
        detail = text;
        return *this;
    }
};

Row run(const QStringList &arguments, int exitCode)
{
    Row row;
    row.arguments = arguments;
    row.exitCode = exitCode;
    return row;
}

// What a terminal shows at the end: colours gone, each redrawn bar line in its final state, the
// rate (which varies from run to run) left out.
QString finalScreen(QString text)
{
    text.remove(QRegularExpression(QStringLiteral("\033\\[[0-9;]*[mK]")));
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString &line : lines) {
        line = line.mid(line.lastIndexOf(QLatin1Char('\r')) + 1);
        line.remove(QRegularExpression(QStringLiteral("  [0-9.]+ KiB/s$")));
    }
    return lines.join(QLatin1Char('\n'));
}

// The status texts of --json events, one a line. Every line must be an event; the last gives the
// result, and a run that flashed reported its progress.
QString jsonEvents(const QString &out, int exitCode)
{
    QStringList texts;
    QJsonObject event;
    bool progress = false;
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        event = QJsonDocument::fromJson(line.toUtf8()).object();
        const QString kind = event.value(QLatin1String("event")).toString();
        if (kind == QLatin1String("status"))
            texts.append(event.value(QLatin1String("text")).toString());
        else if (kind == QLatin1String("progress"))
            progress = event.value(QLatin1String("bytes")).isDouble() &&
                       event.value(QLatin1String("bytesPerSecond")).isDouble();
        else if (kind != QLatin1String("result"))
            return QStringLiteral("not an event: ") + line;
    }
    if (event.value(QLatin1String("event")) != QLatin1String("result") ||
        event.value(QLatin1String("exitCode")).toInt(-1) != exitCode)
        return QStringLiteral("no result with exit code %1").arg(exitCode);
    if (!progress && exitCode == 0)
        texts.append(QStringLiteral("(no progress event)"));
    return texts.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

// The last line of --json output, the result object.
QJsonObject resultOf(const QString &out)
{
    const QStringList lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return lines.isEmpty() ? QJsonObject()
                           : QJsonDocument::fromJson(lines.last().toUtf8()).object();
}

} // namespace

Q_DECLARE_METATYPE(Row)

class LumetraFlashTest : public QObject
{
    Q_OBJECT

private:
    ReleaseFolder folder;
    std::unique_ptr<ReleaseServer> server;
    QTemporaryDir scratch; // the local image files

    QString substitute(QString text) const;
    Result start(const Row &row);
    void saveBranch(const QString &branch);

private slots:
    void initTestCase();
    void commands_data();
    void commands();
};

void LumetraFlashTest::initTestCase()
{
    QVERIFY2(UsbTestbed::inMockEnvironment(), "run this test under umockdev-wrapper");
    usePrivateSettings();
    QVERIFY(folder.publish(custBranch, custVersions()));
    QVERIFY(folder.publish(
        labsBranch, {{"3.0.0-labs", {{"DOVUr3_main_firmware", ReleaseFolder::image(4500, 6)}}}}));
    server = std::make_unique<ReleaseServer>(folder.path());
    QVERIFY(server->start() != 0);

    const auto writeFile = [this](const QString &name, const QByteArray &bytes) {
        QFile file(scratch.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    };
    QVERIFY(writeFile(QStringLiteral("DOVUr3_local.v2.bin"), localImage()));
    QVERIFY(writeFile(QStringLiteral("short.bin"), ReleaseFolder::image(4095, 11)));
    QVERIFY(writeFile(QStringLiteral("empty.bin"), QByteArray()));
}

// Placeholders in the rows: %server, %dir (the local files) and %meterN (the tty of meter N).
QString LumetraFlashTest::substitute(QString text) const
{
    text.replace(QLatin1String("%server"), server->baseUrl());
    text.replace(QLatin1String("%dir"), scratch.path());
    for (int i = 0; i < 2; ++i)
        text.replace(QStringLiteral("%meter%1").arg(i), UsbTestbed::processTtyName(i));
    return text;
}

void LumetraFlashTest::saveBranch(const QString &branch)
{
    // The store the program reads: the child inherits this process's private one.
    QSettings settings(QStringLiteral("Norvatek"), QStringLiteral("Divirare2"));
    if (branch.isNull())
        settings.remove(QStringLiteral("ReleaseBranch"));
    else
        settings.setValue(QStringLiteral("ReleaseBranch"), branch);
}

Result LumetraFlashTest::start(const Row &row)
{
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TERM"), QStringLiteral("xterm"));
    environment.remove(QStringLiteral("NO_COLOR"));
    program.setProcessEnvironment(environment);
    PseudoTerminal terminal;
    if (row.terminal) {
        if (!terminal.open())
            return {};
        program.setStandardOutputFile(terminal.slavePath());
    }
    QStringList arguments;
    for (const QString &argument : row.arguments)
        arguments.append(substitute(argument));
    program.start(QStringLiteral(LUMETRA_FLASH_PATH), arguments);

    // The terminal is read while the program runs, so that it never blocks on a full one.
    Result result;
    QByteArray screen;
    QDeadlineTimer deadline(programTimeoutMs);
    bool interrupted = false;
    while (!program.waitForFinished(terminalPollMs) && !deadline.hasExpired()) {
        if (row.terminal)
            screen += terminal.readAvailable();
        if (row.interrupted && !interrupted && screen.contains("Flashing image")) {
            ::kill(pid_t(program.processId()), SIGINT);
            interrupted = true;
        }
    }
    if (program.state() != QProcess::NotRunning || program.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = program.exitCode();
    result.out = QString::fromUtf8(row.terminal ? screen + terminal.readAvailable()
                                                : program.readAllStandardOutput());
    result.err = QString::fromUtf8(program.readAllStandardError());
    return result;
}

void LumetraFlashTest::commands_data()
{
    QTest::addColumn<Row>("row");

    const QString server = QStringLiteral("--server=%server");
    const QStringList update{server, QStringLiteral("update")};
    const QStringList flash{server, QStringLiteral("flash")};
    const QString noMeter = QStringLiteral("no meter in bootloader mode found");
    const QString refused = QStringLiteral("cannot flash %dir/");
    const QString listed = QStringLiteral("04d8:000a  serial LM000%1  Power meter bootloader\n");
    const QString newestLast = QStringLiteral("1.0.0\n2.0.0\n2.1.0\n9.0.0\n");

    QTest::newRow("list: none") << run({"list"}, 3).withMeters(0).complains(noMeter);
    QTest::newRow("list: one") << run({"list"}, 0).prints("%meter0  " + listed.arg(0));
    QTest::newRow("list --json: two, in the window's order")
        << run({"list", "--json"}, 0)
               .withMeters(2)
               .prints(R"([{"port": "%meter0", "vendorId": 1240, "productId": 10,
                            "serialNumber": "LM0000", "description": "Power meter bootloader"},
                           {"port": "%meter1", "vendorId": 1240, "productId": 10,
                            "serialNumber": "LM0001", "description": "Power meter bootloader"}])");

    QTest::newRow("versions: betas hidden, newest last")
        << run({server, "versions"}, 0).prints(newestLast);
    QTest::newRow("versions --betas") << run({server, "versions", "--betas"}, 0)
                                             .prints("1.0.0\n1.1.0-beta\n2.0.0\n2.1.0\n9.0.0\n");
    QTest::newRow("versions --branch over the saved one")
        << run({server, "versions", "--branch", labsBranch}, 0)
               .saved(custBranch)
               .prints("3.0.0-labs\n");
    QTest::newRow("versions: an empty saved branch is the standard one")
        << run({server, "versions"}, 0).saved("").prints(newestLast);
    QTest::newRow("versions --json")
        << run({server, "versions", "--json", "--branch", labsBranch}, 0)
               .prints(R"([{"tag": "3.0.0-labs", "prerelease": false, "beta": false,
                 "firmware": {"DOVUr3_main_firmware": "3.0.0-labs-DOVUr3_main_firmware.bin"}}])");
    QTest::newRow("versions: unknown branch")
        << run({server, "versions", "--branch", "nope"}, 5)
               .complains("catalogue unavailable at %server/nope/lumetrarelease/: server answered "
                          "HTTP 404");

    QTest::newRow("update: two images in key order, bars on a terminal, Ctrl-C refused")
        << run(update + QStringList{"2.0.0"}, 0)
               .onTerminal()
               .interruptedOnce()
               .complains("Update in progress: please wait until it ends")
               .prints("Connecting...\nFlashing Firmware 2.0.0\nUpdating...\n"
                       "Flashing image DOVUr3_a_firmware\n"
                       "[##############################] 100%  6000 / 6000 bytes\n"
                       "Flashing image DOVUr3_b_firmware\n"
                       "[##############################] 100%  4096 / 4096 bytes\n"
                       "Update complete\n")
               .writes({servedTo(0, "2.0.0", "DOVUr3_a_firmware"),
                        servedTo(0, "2.0.0", "DOVUr3_b_firmware")});
    QTest::newRow("update --json: the first of two meters, a note names the other")
        << run(update + QStringList{"--json", "1.0.0"}, 0)
               .withMeters(2)
               .prints("Connecting...\nFlashing Firmware 1.0.0\nUpdating...\n"
                       "Flashing image DOVUr3_main_firmware\nUpdate complete\n")
               .complains("using the meter on %meter0; also attached: %meter1")
               .writes({servedTo(0, "1.0.0", "DOVUr3_main_firmware")});
    QTest::newRow("update: the newest version has nothing for this meter")
        << run(update, 5)
               .prints("Connecting...\nError: No firmware for this device in this version\n")
               .complains("version 9.0.0 has no firmware for this meter (DOVUr3)");
    QTest::newRow("update: unknown version")
        << run(update + QStringList{"7.7.7"}, 5)
               .complains("version '7.7.7' is not in the catalogue of branch cust");
    QTest::newRow("update: no meter") << run(update, 3).withMeters(0).complains(noMeter).prints(
        "Connecting...\nFailed to find Power Meter device, please restart, reconnect, "
        "and retry\n");
    QTest::newRow("update: another product")
        << run(update, 4)
               .meterAnswers("XMTR22\r")
               .complains("it answered 'XMTR22'")
               .prints(
                   "Connecting...\nCompatible product eligable for update not found, Reboot and "
                   "retry\n");
    QTest::newRow("update: download 404 on the saved branch")
        << run(update, 6)
               .saved(labsBranch)
               .serverFails("lumetra.php", 404)
               .prints(
                   "Branch Path: labs/rf-team\nConnecting...\nError: Firmware download failed\n")
               .complains("the download of DOVUr3_main_firmware failed: server answered HTTP 404");
    QTest::newRow("update --json: the image does not match its published checksum")
        << run(update + QStringList{"--json", "2.1.0"}, 6)
               .prints("Connecting...\nError: Firmware download failed\n")
               .complains("the download of DOVUr3_main_firmware failed: checksum does not match "
                          "the published one")
               .because("checksum-mismatch", "checksum does not match the published one");
    QTest::newRow("update: the meter cancels the transfer")
        << run(update + QStringList{"1.0.0"}, 7)
               .meterCancelsAt(3)
               .prints("Connecting...\nFlashing Firmware 1.0.0\nUpdating...\n"
                       "Flashing image DOVUr3_main_firmware\nERROR: Update failed\n")
               .complains("writing DOVUr3_main_firmware to the meter failed");
    QTest::newRow("update --quiet: the catalogue never comes")
        << run(update + QStringList{"--quiet"}, 5)
               .serverFails("lumetrarelease", 0, true)
               .complains("no answer within 6 s");
    QTest::newRow("flash --trace: exact bytes to the meter on --port, no network")
        << run(flash + QStringList{"%dir/DOVUr3_local.v2.bin", "--port", "/dev/%meter1", "--trace"},
               0)
               .withMeters(2)
               .traces({"> P (product query)", "< \"DOVUr3\\r\"", "> D (download)",
                        "> block 0, header: name \"DOVUr3_local.v2\", 5000 bytes", "< C",
                        "> block 40", "< ACK  after", "> EOT (end of transmission)",
                        "> block 0, closing", "> R (closing command)"})
               .prints("Connecting...\nFlashing Firmware %dir/DOVUr3_local.v2.bin\nUpdating...\n"
                       "Flashing image DOVUr3_local.v2\nUpdate complete\n")
               .writes({flashed(1, "DOVUr3_local.v2", localImage())});

    // Usage errors and files that may not be flashed: the meter hears nothing at all.
    QTest::newRow("no command") << run({}, 2).complains("no command given");
    QTest::newRow("unknown command") << run({"upgrade"}, 2).complains("unknown command 'upgrade'");
    QTest::newRow("flash: a port without a meter")
        << run(flash + QStringList{"%dir/DOVUr3_local.v2.bin", "--port", "ttyS0"}, 3)
               .prints("Connecting...\n")
               .complains("no meter in bootloader mode on port ttyS0");
    QTest::newRow("flash: missing file") << run(flash + QStringList{"%dir/gone.bin"}, 2)
                                                .complains(refused + "gone.bin: no such file");
    QTest::newRow("flash: empty file") << run(flash + QStringList{"%dir/empty.bin"}, 2)
                                              .complains(refused + "empty.bin: the file is empty");
    QTest::newRow("flash: 4095 bytes")
        << run(flash + QStringList{"%dir/short.bin"}, 2)
               .complains(refused + "short.bin: 4095 bytes is less than the 4096");
    QTest::newRow("flash: name too long for the header")
        << run(flash + QStringList{"%dir/DOVUr3_local.v2.bin", "--name", QString(123, 'n')}, 2)
               .complains("is too long for the header block: at most 122 characters");
    QTest::newRow("flash: name the meter cannot store")
        << run(flash + QStringList{"%dir/DOVUr3_local.v2.bin", "--name", "Прошивка"}, 2)
               .complains("must be printable ASCII");
}

void LumetraFlashTest::commands()
{
    QFETCH(Row, row);

    saveBranch(row.savedBranch);
    server->setFaults(row.faults);
    server->clearRequests();
    UsbTestbed testbed;
    std::vector<std::unique_ptr<PowerMeterSimulator>> meters;
    for (int i = 0; i < row.meters; ++i) {
        const QString tty = UsbTestbed::processTtyName(i);
        QVERIFY(testbed.addMeter(tty, QStringLiteral("LM%1").arg(i, 4, 10, QLatin1Char('0'))));
        meters.push_back(std::make_unique<PowerMeterSimulator>(testbed.masterFd(tty), row.meter));
        meters.back()->start();
    }

    const Result result = start(row);
    for (auto &meter : meters)
        meter->stop();

    QCOMPARE(result.exitCode, row.exitCode);
    const QString out = substitute(row.out);
    if (out.startsWith(QLatin1Char('[')))
        QCOMPARE(QJsonDocument::fromJson(result.out.toUtf8()),
                 QJsonDocument::fromJson(out.toUtf8()));
    else if (row.terminal)
        QCOMPARE(finalScreen(result.out), out);
    else if (row.arguments.contains(QLatin1String("--json")))
        QCOMPARE(jsonEvents(result.out, row.exitCode), out);
    else
        QCOMPARE(result.out, out);
    if (!row.reason.isNull()) {
        const QJsonObject end = resultOf(result.out);
        QCOMPARE(end.value(QLatin1String("reason")).toString(), row.reason);
        QCOMPARE(end.value(QLatin1String("detail")).toString(), row.detail);
    }
    if (!row.traced.isEmpty()) {
        for (const QString &line : row.traced)
            QVERIFY2(result.err.contains(line),
                     qPrintable(line + QLatin1String(" in\n") + result.err));
    } else if (row.err.isEmpty()) {
        QCOMPARE(result.err, QString());
    } else {
        QVERIFY2(result.err.startsWith(QLatin1String("lumetra-flash: ")), qPrintable(result.err));
        QVERIFY2(result.err.contains(substitute(row.err)), qPrintable(result.err));
        QCOMPARE(result.err.count(QLatin1Char('\n')), 1);
    }

    // Each meter holds exactly the images meant for it, and a run that wrote any closed with "R".
    // A command that never got as far as connecting, and a meter that a good run left alone,
    // have not had a single byte.
    const bool connected = result.out.contains(QLatin1String("Connecting..."));
    QStringList received;
    for (int i = 0; i < row.meters; ++i) {
        const PowerMeterSimulator &meter = *meters.at(i);
        for (const ReceivedImage &image : meter.images())
            received.append(flashed(i, image.name, image.data));
        if (meter.commands().contains('D'))
            QVERIFY(meter.commands().endsWith('R'));
        if (!connected || (row.exitCode == 0 && meter.images().isEmpty()))
            QCOMPARE(meter.received(), QByteArray());
        QCOMPARE(meter.protocolErrors(), QStringList());
    }
    QCOMPARE(received, row.flashed);
    // The offline path never asks the network for anything.
    if (row.arguments.contains(QLatin1String("flash")))
        QCOMPARE(server->requests(), QStringList());
}

QTEST_GUILESS_MAIN(LumetraFlashTest)
#include "tst_lumetraflash.moc"
