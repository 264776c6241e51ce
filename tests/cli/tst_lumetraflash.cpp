// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// lumetra-flash as a script runs it: the real program as a child process, simulated meters
// behind USB ttys that udev (umockdev) reports with the meter's ids, and a release server on
// loopback. Each row gives the command line and what must come of it: the exit status, standard
// output, the error line, and what the meter received.
#include "fileaccess.h"
#include "privatesettings.h"
#include "pseudoterminal.h"
#include "releasefolder.h"
#include "releaseserver.h"
#include "simulatedmeter.h"
#include "updatehistory.h"
#include "usbtestbed.h"

#include <QDeadlineTimer>
#include <QDir>
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
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The longest row takes two real 6 s line waits; a program that hangs fails the row at this limit.
constexpr int programTimeoutMs = 30000;
constexpr int terminalPollMs = 50;

const QString custBranch = QStringLiteral("cust");
const QString labsBranch = QStringLiteral("labs/rf-team");
// The note before the first image: the meter may stay silent this long before each "D".
const QString meterWait =
    QStringLiteral("waiting up to 6 s for the meter to get ready before each image");
// What to do after a transfer that stopped half-way, on the line after the error.
const QString rewriteAdvice =
    QStringLiteral("The meter may be left half-written: bring it back into bootloader mode");
// The line after a failure before anything was written: whether the meter was touched, and what
// to do.
const QString notWritten = QStringLiteral("The meter was not written: ");
const QString checkNetwork = QStringLiteral("Check the network connection and the server address");
const QString folderAltered = QStringLiteral("the release folder is not as it was saved");
constexpr qint64 blockBytes = 128;
constexpr int tenths = 10;
constexpr int percentAll = 100;
// The most meters a row attaches.
constexpr int benchMeters = 3;

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

// A branch whose one version has a tag that tries to retitle the terminal, print a line of its
// own and clear the screen with an 8-bit control; its image is an ordinary one.
const QString hostileBranch = QStringLiteral("hostile");
const QString hostileTag = QStringLiteral("1.1.0\x1b]0;pwned\x07\nFAKE\u009b2J\x7f 9.9.9");
const QString hostileTagShown =
    QStringLiteral("1.1.0\\x1b]0;pwned\\x07\\x0aFAKE\\x9b2J\\x7f 9.9.9");

QByteArray hostileImage()
{
    return ReleaseFolder::image(4300, 12);
}

// What a row does to the release folder that "download" wrote before the row runs.
enum class BundleChange { None, ImageChanged, ImageRemoved, CatalogueSwapped };

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

// What standard output shows of image number of count, size bytes long, when it is not a
// terminal: a line at the first 128-byte block that reaches each tenth of the image.
QString pipedProgress(int number, int count, qint64 size)
{
    QString lines;
    for (int tenth = 1; tenth <= tenths; ++tenth) {
        const qint64 reached = (size * tenth + tenths - 1) / tenths;
        const qint64 sent = qMin(size, (reached + blockBytes - 1) / blockBytes * blockBytes);
        lines += QStringLiteral("image %1 of %2: %3%  %4 / %5 bytes\n")
                     .arg(number)
                     .arg(count)
                     .arg(sent * percentAll / size)
                     .arg(sent)
                     .arg(size);
    }
    return lines;
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
    QStringList noted;   // in the notes on standard error, one a line, in this order
    QString err;         // in the error line after them; empty: none
    QString hint;        // in the line after the error; empty: none
    PowerMeterOptions meter;
    ServerFaults faults;
    QStringList flashed;           // in the order the meters are numbered, see flashed()
    bool terminal = false;         // standard output is a terminal
    bool errorsOnTerminal = false; // standard error goes to the same terminal
    int columns = 0;               // the terminal's width; 0: the pseudo-terminal's own
    QByteArray interruptWhen = "Flashing image"; // what the terminal shows before the Ctrl-C
    QStringList traced;       // lines of the protocol trace on standard error (--trace)
    bool interrupted = false; // Ctrl-C once the first image is being written (on a terminal)
    bool forbidden = false;   // the first meter's port is one the program may not open
    int resultMeter = 0;      // whose port and serial number the --json result names; -1: none
    QString reason;           // with --json: the result's reason code and detail, if any
    QString detail;
    QString bundleVersion; // unless null, "download" writes this version to %bundle first
    BundleChange change = BundleChange::None;
    QString changedFile; // the file of %bundle that the change is made to

    Row &withMeters(int count) { return meters = count, *this; }
    Row &saved(const QString &branch) { return savedBranch = branch, *this; }
    Row &prints(const QString &text) { return out = text, *this; }
    Row &notes(const QStringList &lines) { return noted = lines, *this; }
    Row &complains(const QString &text) { return err = text, *this; }
    Row &hints(const QString &text) { return hint = text, *this; }
    Row &meterAnswers(const QByteArray &reply) { return meter.productReply = reply, *this; }
    Row &meterCancelsAt(int block)
    {
        meter.fault = PowerMeterOptions::Fault::CancelAtBlock;
        meter.faultBlock = block;
        return *this;
    }
    Row &portForbidden() { return forbidden = true, *this; }
    Row &serverFails(const QString &pathContains, int status, bool neverAnswer = false)
    {
        faults.pathContains = pathContains;
        faults.status = status;
        faults.neverAnswer = neverAnswer;
        return *this;
    }
    Row &writes(const QStringList &images) { return flashed = images, *this; }
    Row &onTerminal() { return terminal = true, *this; }
    Row &everythingOnTerminal() { return terminal = errorsOnTerminal = true, *this; }
    Row &terminalWidth(int width) { return terminal = true, columns = width, *this; }
    Row &interruptedOnceAt(const QByteArray &shown)
    {
        interruptWhen = shown;
        return interrupted = true, *this;
    }
    Row &interruptedOnce() { return interrupted = true, *this; }
    Row &traces(const QStringList &lines) { return traced = lines, *this; }
    Row &resultFor(int meter) { return resultMeter = meter, *this; }
    Row &because(const QString &code, const QString &text)
    {
        reason = code;
        detail = text;
        return *this;
    }
    Row &fromBundle(const QString &version, BundleChange what = BundleChange::None,
                    const QString &file = QString())
    {
        bundleVersion = version;
        change = what;
        changedFile = file;
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

// What a terminal shows at the end: colours and cursor moves gone, each bar line redrawn in place
// in its final state, the rate (which varies from run to run) left out. Bars redrawn after a
// cursor move up stay as lines of their own.
QString finalScreen(QString text)
{
    text.remove(QRegularExpression(QStringLiteral("\033\\[[0-9;]*[A-Za-z]")));
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
        // A status names its step by a stable code, never by a colour.
        if (kind == QLatin1String("status") &&
            (event.value(QLatin1String("step")).toString().isEmpty() ||
             event.contains(QLatin1String("colour"))))
            return QStringLiteral("a status without its step: ") + line;
        if (kind == QLatin1String("status"))
            texts.append(event.value(QLatin1String("text")).toString());
        else if (kind == QLatin1String("progress"))
            progress = event.value(QLatin1String("bytes")).isDouble() &&
                       event.value(QLatin1String("bytesPerSecond")).isDouble() &&
                       event.value(QLatin1String("imageNumber")).toInt() >= 1 &&
                       event.value(QLatin1String("imageNumber")).toInt() <=
                           event.value(QLatin1String("imageCount")).toInt();
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

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

// The names in the Commands list of the general help, in its order.
QStringList helpCommands(const QString &help)
{
    QStringList names;
    const QString commands =
        help.section(QLatin1String("Commands:\n"), 1).section(QLatin1String("\n\n"), 0, 0);
    for (const QString &line : commands.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("  ")) && line.at(2) != QLatin1Char(' '))
            names.append(line.simplified().section(QLatin1Char(' '), 0, 0));
    }
    return names;
}

// Every option of a help's option lines ("  -q, --quiet  ...", "  --port <NAME>  ..."), sorted.
QStringList helpOptions(const QString &help)
{
    static const QRegularExpression optionLine(QStringLiteral("^  (-[^ ].*?)(  |$)"));
    static const QRegularExpression optionName(QStringLiteral("(?:^|[ ,])(--?[A-Za-z][\\w-]*)"));
    QStringList listed;
    for (const QString &line : help.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch names = optionLine.match(line);
        for (auto name = optionName.globalMatch(names.captured(1)); name.hasNext();)
            listed.append(name.next().captured(1));
    }
    return sorted(listed);
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
    QTemporaryDir bundles; // the release folders that rows download
    QString bundle;        // the release folder of the row running, %bundle
    int bundlesMade = 0;

    QString substitute(QString text) const;
    Result start(const Row &row);
    void saveBranch(const QString &branch);
    bool prepareBundle(const Row &row);
    QStringList complete(const QStringList &words) const;

private slots:
    void initTestCase();
    void commands_data();
    void commands();
    void bench_data();
    void bench();
    void help_data();
    void help();
    void completion_data();
    void completion();
    void completionOffersWhatHelpLists();
    void killedUpdateIsRecordedAsInterrupted();
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

    const QJsonObject version{{"tag_name", hostileTag},
                              {"prerelease", "false"},
                              {"isbeta", "false"},
                              {"DOVUr3_main_firmware", "plain.bin"}};
    const QJsonObject product{{"product", "Lumetra"}, {"versions", QJsonArray{version}}};
    QVERIFY(folder.writeCatalogue(hostileBranch, QJsonDocument(QJsonArray{product}).toJson()));
    QVERIFY(folder.writeFile(hostileBranch, QStringLiteral("plain.bin"), hostileImage()));
}

// Placeholders in the rows: %server, %dir (the local files), %bundle (the row's release folder)
// and %meterN (the tty of meter N).
QString LumetraFlashTest::substitute(QString text) const
{
    text.replace(QLatin1String("%server"), server->baseUrl());
    text.replace(QLatin1String("%dir"), scratch.path());
    text.replace(QLatin1String("%bundle"), bundle);
    for (int i = 0; i < benchMeters; ++i)
        text.replace(QStringLiteral("%meter%1").arg(i), UsbTestbed::processTtyName(i));
    return text;
}

// The release folder of a row, written by the program itself, then changed as the row says.
bool LumetraFlashTest::prepareBundle(const Row &row)
{
    // The folder is written from a healthy server, whatever the row before made of it.
    server->setFaults({});
    bundle = bundles.filePath(QString::number(++bundlesMade));
    const Result made = start(run({QStringLiteral("--server=%server"), QStringLiteral("download"),
                                   row.bundleVersion, QStringLiteral("--output"), bundle},
                                  0));
    if (made.exitCode != 0)
        return false;
    const QString path = QDir(bundle).filePath(row.changedFile);
    QFile file(path);
    switch (row.change) {
    case BundleChange::None:
        return true;
    case BundleChange::ImageChanged: {
        if (!file.open(QIODevice::ReadWrite))
            return false;
        QByteArray bytes = file.readAll();
        bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 0x01);
        return file.seek(0) && file.write(bytes) == bytes.size();
    }
    case BundleChange::ImageRemoved:
        return file.remove();
    case BundleChange::CatalogueSwapped:
        // Another branch's catalogue, as served: a real catalogue, but not this folder's.
        return file.remove() &&
               QFile::copy(QDir(folder.path()).filePath(labsBranch + "/catalogue.json"), path);
    }
    return false;
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
    // No system bus: the update must run as it would with one (and take no lock on the machine
    // that runs the tests). No seat either: the hint for a port the user may not open is the
    // one for a session from elsewhere.
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                       QStringLiteral("unix:path=") + scratch.filePath(QStringLiteral("no_bus")));
    environment.remove(QStringLiteral("XDG_SEAT"));
    program.setProcessEnvironment(environment);
    if (row.forbidden)
        program.setChildProcessModifier(FileAccess::dropOverrideForChild);
    PseudoTerminal terminal;
    if (row.terminal) {
        if (!terminal.open())
            return {};
        program.setStandardOutputFile(terminal.slavePath());
        if (row.errorsOnTerminal)
            program.setStandardErrorFile(terminal.slavePath());
        winsize size{};
        size.ws_col = ushort(row.columns);
        if (row.columns > 0 && ::ioctl(terminal.masterFd(), TIOCSWINSZ, &size) != 0)
            return {};
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
        if (row.interrupted && !interrupted && screen.contains(row.interruptWhen)) {
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
    const QString attachAgain = QStringLiteral(
        "The meter was not written: attach it, bring it into bootloader mode (power it down, hold "
        "the joystick button and press the power button), then run the command again.");
    const QString refused = QStringLiteral("cannot flash %dir/");

    QTest::newRow("list: none") << run({"list"}, 3).withMeters(0).complains(noMeter);
    QTest::newRow("list: one")
        << run({"list"}, 0).prints("%meter0  04d8:000a  serial LM0000  Power meter bootloader\n");
    QTest::newRow("list --json: two, in the window's order")
        << run({"list", "--json"}, 0)
               .withMeters(2)
               .prints(R"([{"port": "%meter0", "vendorId": 1240, "productId": 10,
                            "usbId": "04d8:000a", "serialNumber": "LM0000",
                            "description": "Power meter bootloader"},
                           {"port": "%meter1", "vendorId": 1240, "productId": 10,
                            "usbId": "04d8:000a", "serialNumber": "LM0001",
                            "description": "Power meter bootloader"}])");

    // An empty saved branch is the standard one, without a note.
    QTest::newRow("versions: betas hidden, newest last")
        << run({server, "versions"}, 0).saved("").prints("1.0.0\n2.0.0\n2.1.0\n9.0.0\n");
    QTest::newRow("versions --betas") << run({server, "versions", "--betas"}, 0)
                                             .prints("1.0.0\n1.1.0-beta\n2.0.0\n2.1.0\n9.0.0\n");
    QTest::newRow("versions --branch over the saved one")
        << run({server, "versions", "--branch", labsBranch}, 0)
               .saved(custBranch)
               .prints("3.0.0-labs\n");
    QTest::newRow("versions: a note names the saved branch")
        << run({server, "versions"}, 0)
               .saved(labsBranch)
               .notes({"using the saved release branch labs/rf-team"})
               .prints("3.0.0-labs\n");
    QTest::newRow("versions --branch: a trailing slash is dropped")
        << run({server, "versions", "--branch", labsBranch + "/"}, 0).prints("3.0.0-labs\n");
    // A build without a key fetches no signature: nothing it lists is signed.
    QTest::newRow("versions --json")
        << run({server, "versions", "--json", "--branch", labsBranch}, 0)
               .prints(R"([{"tag": "3.0.0-labs", "prerelease": false, "beta": false,
                 "firmware": {"DOVUr3_main_firmware": "3.0.0-labs-DOVUr3_main_firmware.bin"},
                 "signed": false, "keyId": null}])");
    QTest::newRow("versions --json: unknown branch, a result that says why")
        << run({server, "--json", "versions", "--branch", "nope"}, 5)
               .resultFor(-1)
               .prints("\n")
               .complains("catalogue unavailable at %server/nope/lumetrarelease/")
               .hints(checkNetwork)
               .because("http-status", "server answered HTTP 404");

    QTest::newRow("update: a bar on a terminal, Ctrl-C refused")
        << run(update + QStringList{"1.0.0"}, 0)
               .onTerminal()
               .interruptedOnce()
               .notes({meterWait})
               .complains("Update in progress: please wait until it ends")
               .prints("Connecting...\nFlashing Firmware 1.0.0\nUpdating...\n"
                       "Flashing image DOVUr3_main_firmware\n"
                       "image 1 of 1 [####################] 100%  5000 / 5000 bytes\n"
                       "Update complete\n")
               .writes({servedTo(0, "1.0.0", "DOVUr3_main_firmware")});
    // The meter holds back an ACK, so that the bar is open on the terminal when Ctrl-C comes.
    PowerMeterOptions lateAck;
    lateAck.fault = PowerMeterOptions::Fault::LateAck;
    lateAck.faultBlock = 3;
    lateAck.ackDelayMs = 1000;
    Row barOpen = run(update + QStringList{"1.0.0"}, 0)
                      .everythingOnTerminal()
                      .interruptedOnceAt("image 1 of 1 [")
                      .writes({servedTo(0, "1.0.0", "DOVUr3_main_firmware")});
    barOpen.meter = lateAck;
    QTest::newRow("update: Ctrl-C while the bar is drawn, the refusal on a line of its own")
        << barOpen;
    QTest::newRow("update: two images in key order, piped: a line at every tenth of each")
        << run(update + QStringList{"2.0.0"}, 0)
               .notes({meterWait})
               .prints("Connecting...\nFlashing Firmware 2.0.0\nUpdating...\n"
                       "Flashing image DOVUr3_a_firmware\n" +
                       pipedProgress(1, 2, 6000) + "Flashing image DOVUr3_b_firmware\n" +
                       pipedProgress(2, 2, 4096) + "Update complete\n")
               .writes({servedTo(0, "2.0.0", "DOVUr3_a_firmware"),
                        servedTo(0, "2.0.0", "DOVUr3_b_firmware")});
    QTest::newRow("update --json --port SERIAL: the second of two meters, named in the result")
        << run(update + QStringList{"--json", "--port", "LM0001", "1.0.0"}, 0)
               .withMeters(2)
               .resultFor(1)
               .prints("Connecting...\nFlashing Firmware 1.0.0\nUpdating...\n"
                       "Flashing image DOVUr3_main_firmware\nUpdate complete\n")
               .notes({meterWait})
               .writes({servedTo(1, "1.0.0", "DOVUr3_main_firmware")});
    // A serial number names a meter whole: the start of two is neither of them.
    QTest::newRow("update --port: the start of a serial number names no meter")
        << run(update + QStringList{"--port", "LM000", "1.0.0"}, 3)
               .withMeters(2)
               .prints("Connecting...\nFailed to find Power Meter device, please restart, "
                       "reconnect, and retry\n")
               .complains("no meter in bootloader mode on port LM000")
               .hints(attachAgain);
    const QString twoAttached = QStringLiteral("2 meters are attached: %meter0 (serial LM0000), "
                                               "%meter1 (serial LM0001); choose one with --port");
    QTest::newRow("update: two meters and no --port, neither written")
        << run(update + QStringList{"1.0.0"}, 2).withMeters(2).complains(twoAttached);
    QTest::newRow("flash --json: two meters and no --port, the result names none")
        << run(flash + QStringList{"--json", "%dir/DOVUr3_local.v2.bin"}, 2)
               .withMeters(2)
               .resultFor(-1)
               .prints("\n")
               .complains(twoAttached);
    QTest::newRow("update: unknown version")
        << run(update + QStringList{"7.7.7"}, 5)
               .complains("version '7.7.7' is not in the catalogue of branch cust");
    QTest::newRow("update: no meter")
        << run(update, 3)
               .withMeters(0)
               .complains(noMeter)
               .hints(attachAgain)
               .prints("Connecting...\nFailed to find Power Meter device, please restart, "
                       "reconnect, and retry\n");
    QTest::newRow("update: another product")
        << run(update, 4)
               .meterAnswers("XMTR22\r")
               .complains("it answered 'XMTR22'")
               .hints(notWritten + "check that it is a power meter")
               .prints(
                   "Connecting...\nCompatible product eligable for update not found, Reboot and "
                   "retry\n");
    QTest::newRow("versions: a tag's control characters shown escaped")
        << run({server, "versions", "--branch", hostileBranch}, 0).prints(hostileTagShown + "\n");
    // Events carry the texts as they came; the error line on standard error shows them escaped.
    QTest::newRow("update --json: a hostile tag and reply, every event one valid line")
        << run(update + QStringList{"--json", "--branch", hostileBranch}, 5)
               .meterAnswers("DOVUr3\x1b[2J\r")
               .prints("Branch Path: hostile\nConnecting...\n"
                       "Error: No firmware for this device in this version\n")
               .complains(QStringLiteral("version %1 has no firmware for this meter "
                                         "(DOVUr3\\x1b[2J)")
                              .arg(hostileTagShown))
               .hints(notWritten + "name another version");
    // Every failure says why: in the error line, and in the JSON result as a stable code and the
    // fact in words. The download's reasons come from the download, the meter's from the
    // transfer, the port's from the operating system.
    QTest::newRow("update --json: download 404 on the saved branch")
        << run(update + QStringList{"--json"}, 6)
               .saved(labsBranch)
               .serverFails("lumetra.php", 404)
               .notes({"using the saved release branch labs/rf-team"})
               .prints(
                   "Branch Path: labs/rf-team\nConnecting...\nError: Firmware download failed\n")
               .complains("the download of DOVUr3_main_firmware failed: server answered HTTP 404")
               .hints("the server does not offer this file now: run the command again later")
               .because("http-status", "server answered HTTP 404");
    // A release folder: what download wrote, update --from installs as the server's release, with
    // no network. A folder that is not as written is refused before the meter hears a byte.
    const QString unusable = QStringLiteral("cannot use the release folder %bundle: ");
    const QString changed = QStringLiteral(" is not the file the bundle was written with");
    QTest::newRow("update --from --json: the same update as from the server")
        << run({"--json", "update", "--from", "%bundle"}, 0)
               .fromBundle("2.0.0")
               .notes({meterWait})
               .prints("Connecting...\nFlashing Firmware 2.0.0\nUpdating...\n"
                       "Flashing image DOVUr3_a_firmware\nFlashing image DOVUr3_b_firmware\n"
                       "Update complete\n")
               .writes({servedTo(0, "2.0.0", "DOVUr3_a_firmware"),
                        servedTo(0, "2.0.0", "DOVUr3_b_firmware")});
    QTest::newRow("update --from: an image changed in the folder")
        << run({"update", "--from", "%bundle"}, 6)
               .fromBundle("2.0.0", BundleChange::ImageChanged,
                           "images/2.0.0-DOVUr3_b_firmware.bin")
               .complains(unusable + "images/2.0.0-DOVUr3_b_firmware.bin" + changed)
               .hints(folderAltered);
    QTest::newRow("update --from --json: the catalogue swapped for another branch's")
        << run({"--json", "update", "--from", "%bundle"}, 5)
               .fromBundle("1.0.0", BundleChange::CatalogueSwapped, "catalogue.json")
               .resultFor(-1)
               .prints("\n")
               .complains(unusable + "catalogue.json" + changed)
               .hints(folderAltered)
               .because("altered-file",
                        "catalogue.json" + changed + ": it was changed or replaced");
    QTest::newRow("update --from VERSION: not the folder's version")
        << run({"update", "--from", "%bundle", "2.0.0"}, 5)
               .fromBundle("1.0.0")
               .complains("the release folder %bundle holds version 1.0.0, not 2.0.0");
    QTest::newRow("download: an existing folder, refused before any download")
        << run({server, "download", "--output", "%dir"}, 2)
               .complains("cannot write the release folder: %dir already exists");
    // Every way a transfer stops is the update run's to tell apart, and ends in the same exit
    // status; here the status, the hint and the JSON that carry it.
    const QString cancelled = QStringLiteral("the meter cancelled the transfer at block 3 of 40");
    QTest::newRow("update --json: the meter cancels the transfer")
        << run(update + QStringList{"--json", "1.0.0"}, 7)
               .meterCancelsAt(3)
               .notes({meterWait})
               .prints("Connecting...\nFlashing Firmware 1.0.0\nUpdating...\n"
                       "Flashing image DOVUr3_main_firmware\nERROR: Update failed\n")
               .complains("writing DOVUr3_main_firmware to the meter failed: " + cancelled)
               .hints(rewriteAdvice)
               .because("meter-cancelled", cancelled);
    QTest::newRow("update --json: a port the program may not open")
        << run(update + QStringList{"--json", "1.0.0"}, 3)
               .portForbidden()
               .prints("Connecting...\nPort failed to open\n")
               .complains("the port %meter0 would not open: Permission denied")
               .hints(notWritten + "add the user to the dialout group (sudo usermod -aG dialout "
                                   "$USER) and log in again.")
               .because("port-permission", "Permission denied");
    QTest::newRow("update --quiet: the catalogue never comes")
        << run(update + QStringList{"--quiet"}, 5)
               .serverFails("lumetrarelease", 0, true)
               .complains("no answer within 6 s")
               .hints(checkNetwork);
    QTest::newRow("flash --trace: exact bytes to the meter on --port, no network")
        << run(flash + QStringList{"%dir/DOVUr3_local.v2.bin", "--port", "/dev/%meter1", "--trace",
                                   "--sha256", ReleaseFolder::sha256(localImage()).toUpper()},
               0)
               .withMeters(2)
               .traces({"> P (product query)", "< \"DOVUr3\\r\"", "> D (download)",
                        "> block 0, header: name \"DOVUr3_local.v2\", 5000 bytes", "< C",
                        "> block 40", "< ACK  after", "> EOT (end of transmission)",
                        "> block 0, closing", "> R (closing command)",
                        "lumetra-flash: the computer may sleep during this update"})
               .prints("Connecting...\nFlashing Firmware %dir/DOVUr3_local.v2.bin\nUpdating...\n"
                       "Flashing image DOVUr3_local.v2\n" +
                       pipedProgress(1, 1, 5000) + "Update complete\n")
               .writes({flashed(1, "DOVUr3_local.v2", localImage())});

    // Usage errors and files that may not be flashed: the meter hears nothing at all.
    QTest::newRow("no command") << run({}, 2).complains("no command given");
    // An option that is not the command's is named as typed, and the help to read is that
    // command's own.
    const struct
    {
        const char *row;
        QStringList arguments;
        const char *error;
    } misfits[] = {
        {"update --bogus",
         {"update", "--bogus"},
         "unknown option --bogus (see lumetra-flash help update)"},
        {"list -x", {"list", "-x"}, "unknown option -x (see lumetra-flash help list)"},
        {"versions --port: another command's option",
         {"versions", "--port", "X"},
         "versions does not take --port (see lumetra-flash help versions)"},
        {"--bogus before any command",
         {"--bogus"},
         "unknown option --bogus (see lumetra-flash --help)"},
    };
    for (const auto &misfit : misfits)
        QTest::newRow(misfit.row) << run(misfit.arguments, 2).complains(misfit.error);
    QTest::newRow("unknown command") << run({"upgrade"}, 2).complains("unknown command 'upgrade'");
    // A branch name that would leave its path on the server is refused before any request.
    QTest::newRow("versions --branch: a name that climbs out of its path")
        << run({server, "versions", "--branch", "../../etc"}, 2)
               .complains("--branch wants a release branch name: \"../../etc\" has a part that "
                          "is \".\" or \"..\" (see lumetra-flash help versions)");
    QTest::newRow("help: unknown command")
        << run({"help", "upgrade"}, 2).complains("unknown command 'upgrade'");
    QTest::newRow("update --from with --branch")
        << run({"update", "--from", "%dir", "--branch", "cust"}, 2)
               .complains("--from takes the branch from the release folder");
    QTest::newRow("update --from with no folder")
        << run({"update", "--from="}, 2).complains("--from wants the folder that download wrote");
    QTest::newRow("update --all with --port")
        << run({"update", "--all", "--port", "LM0000"}, 2)
               .complains("--all updates every meter attached; it takes no --port");
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
    QTest::newRow("flash --sha256: another file's digest")
        << run(flash + QStringList{"%dir/DOVUr3_local.v2.bin", "--sha256",
                                   ReleaseFolder::sha256(hostileImage())},
               2)
               .complains(refused + "DOVUr3_local.v2.bin: its SHA-256 is " +
                          ReleaseFolder::sha256(localImage()) + ", not the " +
                          ReleaseFolder::sha256(hostileImage()) + " given with --sha256");
    QTest::newRow("flash --sha256: not a digest")
        << run(flash + QStringList{"%dir/DOVUr3_local.v2.bin", "--sha256", "abc"}, 2)
               .complains("--sha256 wants the 64 hex digits that sha256sum prints, not 'abc'");
}

void LumetraFlashTest::commands()
{
    QFETCH(Row, row);

    saveBranch(row.savedBranch);
    if (!row.bundleVersion.isNull())
        QVERIFY(prepareBundle(row));
    server->setFaults(row.faults);
    server->clearRequests();
    UsbTestbed testbed;
    std::vector<std::unique_ptr<PowerMeterSimulator>> meters;
    for (int i = 0; i < row.meters; ++i) {
        meters.push_back(plugInMeter(testbed, UsbTestbed::processTtyName(i),
                                     QStringLiteral("LM000%1").arg(i), row.meter));
        QVERIFY(meters.back());
    }
    const QByteArray firstNode =
        QFile::encodeName(qEnvironmentVariable("UMOCKDEV_DIR") + QStringLiteral("/dev/") +
                          UsbTestbed::processTtyName(0));
    if (row.forbidden)
        QCOMPARE(::chmod(firstNode.constData(), 0), 0);

    const Result result = start(row);
    if (row.forbidden)
        QCOMPARE(::chmod(firstNode.constData(), S_IRUSR | S_IWUSR), 0);
    for (auto &meter : meters)
        meter->stop();

    QCOMPARE(result.exitCode, row.exitCode);
    const QString out = substitute(row.out);
    if (out.startsWith(QLatin1Char('[')))
        QCOMPARE(QJsonDocument::fromJson(result.out.toUtf8()),
                 QJsonDocument::fromJson(out.toUtf8()));
    else if (row.errorsOnTerminal) {
        // Notes share the terminal with the bar, which they never run into: each starts a line.
        const QStringList lines = finalScreen(result.out).split(QLatin1Char('\n'));
        for (const QString &line : lines)
            QVERIFY2(!line.contains(QLatin1String("lumetra-flash: ")) ||
                         line.startsWith(QLatin1String("lumetra-flash: ")),
                     qPrintable(line));
        QCOMPARE(
            lines.filter(QRegularExpression(QStringLiteral("^lumetra-flash: Update in progress")))
                .size(),
            1);
        QCOMPARE(lines.filter(QStringLiteral("Update complete")).size(), 1);
    } else if (row.terminal)
        QCOMPARE(finalScreen(result.out), out);
    else if (row.arguments.contains(QLatin1String("--json"))) {
        QCOMPARE(jsonEvents(result.out, row.exitCode), out);
        // The result names the meter it is about.
        const QJsonObject last = resultOf(result.out);
        const bool named = row.resultMeter >= 0;
        QCOMPARE(last.value(QLatin1String("port")),
                 named ? QJsonValue(UsbTestbed::processTtyName(row.resultMeter)) : QJsonValue());
        QCOMPARE(last.value(QLatin1String("serialNumber")),
                 named ? QJsonValue(QStringLiteral("LM000%1").arg(row.resultMeter)) : QJsonValue());
        // It says what was installed, how long it took and, on failure, why.
        QVERIFY(last.value(QLatin1String("seconds")).isDouble());
        QCOMPARE(last.value(QLatin1String("reason")).isString(), row.exitCode != 0);
        if (row.exitCode == 0) {
            QCOMPARE(last.value(QLatin1String("version")).isString(),
                     row.arguments.contains(QLatin1String("update")));
            QStringList images;
            for (const QJsonValue &value : last.value(QLatin1String("images")).toArray()) {
                const QJsonObject image = value.toObject();
                QVERIFY(image.value(QLatin1String("bytes")).toInteger() > 0);
                images.append(QStringLiteral("%1 %2 %3")
                                  .arg(row.resultMeter)
                                  .arg(image.value(QLatin1String("name")).toString(),
                                       image.value(QLatin1String("sha256")).toString()));
            }
            QCOMPARE(images, row.flashed);
        }
    } else
        QCOMPARE(result.out, out);
    if (!row.reason.isNull()) {
        const QJsonObject end = resultOf(result.out);
        QCOMPARE(end.value(QLatin1String("reason")).toString(), row.reason);
        QCOMPARE(end.value(QLatin1String("detail")).toString(), row.detail);
    }
    // Every line on standard error says whose it is, the protocol trace's included.
    for (const QString &line : result.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        QVERIFY2(line.startsWith(QLatin1String("lumetra-flash: ")), qPrintable(line));
    if (!row.traced.isEmpty()) {
        for (const QString &line : row.traced)
            QVERIFY2(result.err.contains(line),
                     qPrintable(line + QLatin1String(" in\n") + result.err));
    } else {
        QStringList expected = row.noted;
        if (!row.err.isEmpty())
            expected.append(row.err);
        if (!row.hint.isEmpty())
            expected.append(row.hint);
        const QStringList lines = result.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QVERIFY2(lines.size() == expected.size(),
                 qPrintable(expected.join(QLatin1Char('\n')) + QLatin1String("\nexpected in\n") +
                            result.err));
        for (qsizetype i = 0; i < lines.size(); ++i) {
            QVERIFY2(lines.at(i).startsWith(QLatin1String("lumetra-flash: ")) &&
                         lines.at(i).contains(substitute(expected.at(i))),
                     qPrintable(expected.at(i) + QLatin1String(" in\n") + result.err));
        }
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
    // The offline paths never ask the network for anything.
    if (row.arguments.contains(QLatin1String("flash")) ||
        row.arguments.contains(QLatin1String("--from")))
        QCOMPARE(server->requests(), QStringList());
}

// update --all on a bench of three meters, the last of them another product: the two meters are
// written, the third refused, the release downloaded once for all of them, and the summary says
// so however the output is shown. Where it does not go as on a full bench, the bench object still
// ends the JSON, and the advice after a failed meter repeats that meter alone, not the whole bench.
void LumetraFlashTest::bench_data()
{
    QTest::addColumn<Row>("row");

    const QStringList all{QStringLiteral("--server=%server"), QStringLiteral("update"),
                          QStringLiteral("--all")};
    const QStringList version{QStringLiteral("1.0.0")};
    QTest::newRow("piped: each line names its meter, a line at every tenth")
        << run(all + version, 4).withMeters(benchMeters);
    QTest::newRow("--json: every event names its meter, a result each, then the bench")
        << run(QStringList{"--json"} + all + version, 4).withMeters(benchMeters);
    QTest::newRow("on a terminal: a bar per meter, the first Ctrl-C refused")
        << run(all + version, 4).withMeters(benchMeters).onTerminal().interruptedOnce();
    QTest::newRow("--json, no meter: the bench object")
        << run(QStringList{"--json"} + all, 3)
               .withMeters(0)
               .complains("no meter in bootloader mode found");
    QTest::newRow("a failed transfer: the advice updates that meter alone")
        << run(all + version, 7)
               .meterCancelsAt(3)
               .complains("%meter0: writing DOVUr3_main_firmware to the meter failed")
               .hints("%meter0: The meter may be left half-written: put it back into bootloader "
                      "mode and update it alone: lumetra-flash --server %server update --port "
                      "LM0000 1.0.0");
}

void LumetraFlashTest::bench()
{
    QFETCH(Row, row);

    saveBranch(QString());
    server->setFaults({});
    server->clearRequests();
    UsbTestbed testbed;
    std::vector<std::unique_ptr<PowerMeterSimulator>> meters;
    QStringList ports;
    for (int i = 0; i < row.meters; ++i) {
        ports.append(UsbTestbed::processTtyName(i));
        PowerMeterOptions options = row.meter;
        if (i == benchMeters - 1)
            options.productReply = "XMTR22\r";
        meters.push_back(
            plugInMeter(testbed, ports.last(), QStringLiteral("LM000%1").arg(i), options));
        QVERIFY(meters.back());
    }
    const Result result = start(row);
    for (auto &meter : meters)
        meter->stop();
    QCOMPARE(result.exitCode, row.exitCode);

    if (row.meters < benchMeters) {
        const QStringList errors = result.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &expected : {row.err, row.hint})
            QCOMPARE(errors.filter(QStringLiteral("lumetra-flash: ") + substitute(expected)).size(),
                     1);
        QVERIFY2(!result.err.contains(QLatin1String("run the command again")),
                 qPrintable(result.err));
        if (row.arguments.contains(QLatin1String("--json"))) {
            const QJsonObject end = resultOf(result.out);
            QCOMPARE(end.value(QLatin1String("event")).toString(), QStringLiteral("bench"));
            QCOMPARE(end.value(QLatin1String("exitCode")).toInt(), row.exitCode);
            QCOMPARE(end.value(QLatin1String("meters")).toInt(-1), row.meters);
            QCOMPARE(end.value(QLatin1String("ok")), QJsonValue(false));
        }
        return;
    }
    // The two meters hold the image; the other product never heard "D".
    for (int i = 0; i < benchMeters; ++i) {
        QStringList received;
        for (const ReceivedImage &image : meters.at(i)->images())
            received.append(flashed(i, image.name, image.data));
        const bool written = i < benchMeters - 1;
        QCOMPARE(received, written ? QStringList{servedTo(i, "1.0.0", "DOVUr3_main_firmware")}
                                   : QStringList());
        QCOMPARE(meters.at(i)->commands().contains('D'), written);
        QCOMPARE(meters.at(i)->protocolErrors(), QStringList());
    }
    // One download for the whole bench: the catalogue, its signature and the image, once each.
    QStringList requests = server->requests();
    requests.sort();
    QCOMPARE(requests, QStringList({"/cust/lumetra.php?version=1.0.0-DOVUr3_main_firmware.bin",
                                    "/cust/lumetrarelease.minisig", "/cust/lumetrarelease/"}));

    const QString last = ports.last();
    const QString verdict = QStringLiteral("2 of 3 meters updated; exit status 4 is that of %1, "
                                           "the first failure in port order")
                                .arg(last);
    QVERIFY2(result.err.contains(QStringLiteral("lumetra-flash: %1: the meter on %1 did not "
                                                "identify as a compatible product")
                                     .arg(last)),
             qPrintable(result.err));
    if (row.arguments.contains(QLatin1String("--json"))) {
        QList<QJsonObject> events;
        for (const QString &line : result.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            events.append(QJsonDocument::fromJson(line.toUtf8()).object());
        QVERIFY(events.size() > benchMeters);
        // Every event of a meter's run names its meter; the bench's own download names none.
        QStringList finished;
        for (const QJsonObject &event : std::as_const(events)) {
            const QString kind = event.value(QLatin1String("event")).toString();
            const QString port = event.value(QLatin1String("port")).toString();
            if (kind == QLatin1String("progress") || kind == QLatin1String("result"))
                QVERIFY2(ports.contains(port), qPrintable(QJsonDocument(event).toJson()));
            if (event.value(QLatin1String("text")) == QLatin1String("Update complete"))
                finished.append(port);
        }
        QCOMPARE(finished.size(), benchMeters - 1);
        const QList<QJsonObject> results = events.mid(events.size() - benchMeters - 1, benchMeters);
        for (int i = 0; i < benchMeters; ++i) {
            const QJsonObject &meter = results.at(i);
            const bool written = i < benchMeters - 1;
            QCOMPARE(meter.value(QLatin1String("event")).toString(), QStringLiteral("result"));
            QCOMPARE(meter.value(QLatin1String("port")).toString(), ports.at(i));
            QCOMPARE(meter.value(QLatin1String("serialNumber")).toString(),
                     QStringLiteral("LM000%1").arg(i));
            QCOMPARE(meter.value(QLatin1String("version")).toString(), QStringLiteral("1.0.0"));
            QCOMPARE(meter.value(QLatin1String("images")).toArray().size(), written ? 1 : 0);
            QVERIFY(meter.value(QLatin1String("seconds")).toDouble() > 0);
            QCOMPARE(meter.value(QLatin1String("reason")),
                     written ? QJsonValue() : QJsonValue(QStringLiteral("not-compatible")));
        }
        const QJsonObject &benchEnd = events.last();
        QCOMPARE(benchEnd.value(QLatin1String("event")).toString(), QStringLiteral("bench"));
        QCOMPARE(benchEnd.value(QLatin1String("exitCode")).toInt(), 4);
        QCOMPARE(benchEnd.value(QLatin1String("updated")).toInt(), benchMeters - 1);
        QCOMPARE(benchEnd.value(QLatin1String("failed")).toArray(), QJsonArray{last});
        QCOMPARE(benchEnd.value(QLatin1String("message")).toString(), verdict);
        return;
    }

    // The summary: a header, a row per meter in port order, and the verdict.
    const QStringList lines = finalScreen(result.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const qsizetype header = lines.indexOf(
        QRegularExpression(QStringLiteral("^PORT +SERIAL +VERSION +RESULT +REASON +SECONDS$")));
    QVERIFY2(header >= 0, qPrintable(result.out));
    QCOMPARE(lines.size(), header + benchMeters + 2);
    for (int i = 0; i < benchMeters; ++i) {
        const QStringList cells =
            lines.at(header + 1 + i).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const bool written = i < benchMeters - 1;
        QCOMPARE(cells.mid(0, 5),
                 QStringList({ports.at(i), QStringLiteral("LM000%1").arg(i), "1.0.0",
                              written ? "updated" : "failed", written ? "-" : "not-compatible"}));
    }
    QCOMPARE(lines.last(), verdict);
    if (row.terminal) {
        QVERIFY2(result.err.contains(QLatin1String("Update in progress: please wait")),
                 qPrintable(result.err));
        // The bars as they ended stand above the summary, one per meter.
        for (int i = 0; i < benchMeters - 1; ++i)
            QVERIFY2(!lines
                          .filter(QRegularExpression(
                              QStringLiteral("^%1 +image 1 of 1 \\[#+\\] 100%  5000 / 5000 bytes")
                                  .arg(ports.at(i))))
                          .isEmpty(),
                     qPrintable(result.out));
        return;
    }
    // Piped: every line about the meters names its meter; each one's progress comes in tenths.
    const qsizetype first =
        lines.indexOf(QRegularExpression(QStringLiteral("Updating 3 meters: .*")));
    QVERIFY2(first >= 0, qPrintable(result.out));
    for (qsizetype i = first + 1; i < header; ++i)
        QVERIFY2(ports.contains(lines.at(i).section(QLatin1String(": "), 0, 0)),
                 qPrintable(lines.at(i)));
    for (int i = 0; i < benchMeters - 1; ++i) {
        const QString progress = ports.at(i) + QStringLiteral(": image 1 of 1: ");
        QCOMPARE(lines.filter(progress).size(), tenths);
    }
}

// Every way of asking for help prints the help asked for, and nothing else happens: list, with no
// meter attached, would end with status 3. The help offers no option that does not work.
void LumetraFlashTest::help_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("sameAs"); // prints exactly what these arguments print
    QTest::addColumn<QString>("usage");      // its first line
    QTest::addColumn<int>("columns");        // the terminal's width; 0: piped

    const QString general = QStringLiteral("Usage: lumetra-flash [options] COMMAND [ARGUMENTS]");
    QTest::newRow("--help-all") << QStringList{"--help-all"} << QStringList{"--help"} << general
                                << 0;
    QTest::newRow("help") << QStringList{"help"} << QStringList{"--help"} << general << 0;
    QTest::newRow("help update") << QStringList{"help", "update"} << QStringList{"update", "--help"}
                                 << "Usage: lumetra-flash [options] update [VERSION]" << 0;
    QTest::newRow("list --help-all: list does not run")
        << QStringList{"list", "--help-all"} << QStringList{"list", "--help"}
        << "Usage: lumetra-flash [options] list" << 0;
    QTest::newRow("--help on a terminal of 50 columns")
        << QStringList{"--help"} << QStringList() << general << 50;
    QTest::newRow("help flash on a terminal of 132 columns")
        << QStringList{"help", "flash"} << QStringList()
        << "Usage: lumetra-flash [options] flash FILE" << 132;
}

void LumetraFlashTest::help()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, sameAs);
    QFETCH(QString, usage);
    QFETCH(int, columns);

    Row row = run(arguments, 0);
    if (columns > 0)
        row.terminalWidth(columns);
    const Result result = start(row);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.err, QString());
    const QString out = QString(result.out).replace(QLatin1String("\r\n"), QLatin1String("\n"));
    QCOMPARE(out.section(QLatin1Char('\n'), 0, 0), usage);
    QVERIFY2(!out.contains(QLatin1String("--help-all")), qPrintable(out));
    if (!sameAs.isEmpty())
        QCOMPARE(out, start(run(sameAs, 0)).out);
    // Wrapped to the terminal, or to 80 columns in a pipe.
    const int width = columns > 0 ? columns : 80;
    for (const QString &line : out.split(QLatin1Char('\n')))
        QVERIFY2(line.size() <= width, qPrintable(line));

    // The general help's Arguments line names every command that its Commands list does (which
    // are those completion offers, see completionOffersWhatHelpLists).
    if (usage != QLatin1String("Usage: lumetra-flash [options] COMMAND [ARGUMENTS]"))
        return;
    const QString argumentsLine = out.section(QLatin1String("Arguments:\n"), 1).simplified();
    const QStringList names = helpCommands(out);
    QVERIFY(names.size() > 1);
    for (const QString &name : names)
        QVERIFY2(argumentsLine.contains(QRegularExpression(QStringLiteral("\\b%1\\b").arg(name))),
                 qPrintable(name + QLatin1String(" not in ") + argumentsLine));
}

// The installed bash completion, sourced into a shell as bash-completion does it and asked for the
// words after the typed ones; the ports and serial numbers come from the program itself, which
// sees the testbed.
void LumetraFlashTest::completion_data()
{
    QTest::addColumn<QStringList>("words"); // after the program's name; the last is being typed
    QTest::addColumn<QString>("offered");

    QTest::newRow("a command's start") << QStringList{"up"} << "update";
    QTest::newRow("the command after a global option's value")
        << QStringList{"--server", "http://x", "update", "--po"} << "--port";
    QTest::newRow("after help, a command") << QStringList{"help", "fl"} << "flash";
    QTest::newRow("--port: the attached meters' ports and serial numbers")
        << QStringList{"update", "--port", ""} << "%meter0 LM0000 %meter1 LM0001";
    QTest::newRow("--port=: an attached meter by its start")
        << QStringList{"flash", "--port", "=", "%meter1"} << "%meter1";
}

void LumetraFlashTest::completion()
{
    QFETCH(QStringList, words);
    QFETCH(QString, offered);

    UsbTestbed testbed;
    for (int i = 0; i < 2; ++i)
        QVERIFY(testbed.addMeter(UsbTestbed::processTtyName(i), QStringLiteral("LM000%1").arg(i)));
    QCOMPARE(complete(words).join(QLatin1Char(' ')), substitute(offered));
}

// What completion offers is what the help lists: every command, the global options before a
// command, and after each command its options with the global ones, so that neither can gain or
// lose one without the other.
void LumetraFlashTest::completionOffersWhatHelpLists()
{
    const QString general = start(run({"--help"}, 0)).out;
    const QStringList commands = helpCommands(general);
    QVERIFY(commands.contains(QLatin1String("history")));
    QCOMPARE(complete({""}), commands);
    QCOMPARE(sorted(complete({"-"})), helpOptions(general));
    for (const QString &command : commands) {
        if (command == QLatin1String("help"))
            continue;
        const QStringList listed = helpOptions(start(run({"help", command}, 0)).out);
        QVERIFY2(sorted(complete({command, "-"})) == listed,
                 qPrintable(command + QLatin1String(": ") + listed.join(QLatin1Char(' '))));
    }
}

// What bash does on Tab: COMP_WORDS and COMP_CWORD set, the function called with the program, the
// current word and the one before; the words it offers, in its order.
QStringList LumetraFlashTest::complete(const QStringList &words) const
{
    const QString script = QStringLiteral(
        "source \"$0\" && complete -p lumetra-flash >/dev/null || exit 1\n"
        "COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1))\n"
        "_lumetra_flash \"$1\" \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD - 1]}\"\n"
        "echo \"${COMPREPLY[*]}\"");
    QStringList arguments{QStringLiteral("-c"), script, QStringLiteral(LUMETRA_COMPLETION_PATH),
                          QStringLiteral(LUMETRA_FLASH_PATH)};
    for (const QString &word : words)
        arguments.append(substitute(word));
    QProcess bash;
    bash.start(QStringLiteral("bash"), arguments);
    if (!bash.waitForFinished(programTimeoutMs) || bash.exitCode() != 0 ||
        !bash.readAllStandardError().isEmpty())
        return {QStringLiteral("(bash failed)")};
    return QString::fromUtf8(bash.readAllStandardOutput())
        .simplified()
        .split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// A run killed while the meter is written (SIGKILL: no handler runs) leaves its record in the
// history as interrupted: never nothing, and never complete.
void LumetraFlashTest::killedUpdateIsRecordedAsInterrupted()
{
    saveBranch(QString());
    server->setFaults({});
    UsbTestbed testbed;
    const QString tty = UsbTestbed::processTtyName();
    PowerMeterOptions stalls;
    stalls.fault = PowerMeterOptions::Fault::HangAt;
    stalls.faultBlock = 5;
    const auto meter = plugInMeter(testbed, tty, QStringLiteral("LM0900"), stalls);
    QVERIFY(meter);
    const QString historyFile = scratch.filePath(QStringLiteral("killed.sqlite"));

    QProcess program;
    program.start(QStringLiteral(LUMETRA_FLASH_PATH),
                  {QStringLiteral("--server=") + server->baseUrl(), QStringLiteral("--history"),
                   historyFile, QStringLiteral("update"), QStringLiteral("1.0.0")});
    QVERIFY(program.waitForStarted());
    // Killed once the meter has taken a few blocks and stalls on the next.
    QVERIFY(QTest::qWaitFor([&] { return meter->packetLog().size() >= 5; }, programTimeoutMs));
    ::kill(pid_t(program.processId()), SIGKILL);
    QVERIFY(program.waitForFinished());
    meter->stop();

    UpdateHistory history(historyFile);
    const std::optional<UpdateRecord> kept = history.latest(QStringLiteral("LM0900"));
    QVERIFY2(kept, qPrintable(history.problem()));
    QCOMPARE(kept->result, UpdateRecord::Result::Interrupted);
    QCOMPARE(kept->port, tty);
    QCOMPARE(kept->version, QStringLiteral("1.0.0"));
}

QTEST_GUILESS_MAIN(LumetraFlashTest)
#include "tst_lumetraflash.moc"
