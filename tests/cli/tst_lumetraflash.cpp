// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// lumetra-flash as a script runs it: the real program as a child process, simulated meters
// behind USB ttys that udev (umockdev) reports with the meter's ids, and a release server on
// loopback. Each row gives the command line and what must come of it: the exit status, standard
// output, the error line, and what the meter received.
#include "powermetersimulator.h"
#include "releasefolder.h"
#include "releaseserver.h"
#include "usbtestbed.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

namespace {

constexpr quint16 meterVendorId = 0x04D8;
constexpr quint16 meterProductId = 0x000A;
constexpr int programTimeoutMs = 90000;

const QString custBranch = QStringLiteral("cust");
const QString labsBranch = QStringLiteral("labs/rf-team");

struct Served
{
    QString branch;
    QString tag;
    QString key;
    QByteArray bytes;
};

// What the release server publishes for every row: two branches, a beta, a version with two
// images for the meter, and one with firmware for another model only.
const QList<Served> &served()
{
    static const QList<Served> files{
        {custBranch, "1.0.0", "DOVUr3_main_firmware", ReleaseFolder::image(5000, 1)},
        {custBranch, "1.1.0-beta", "DOVUr3_main_firmware", ReleaseFolder::image(4096, 2)},
        {custBranch, "2.0.0", "DOVUr3_a_firmware", ReleaseFolder::image(6000, 3)},
        {custBranch, "2.0.0", "DOVUr3_b_firmware", ReleaseFolder::image(4096, 4)},
        {custBranch, "2.0.0", "QX7Lm2_main_firmware", ReleaseFolder::image(7000, 5)},
        {labsBranch, "3.0.0-labsBranch", "DOVUr3_main_firmware", ReleaseFolder::image(4500, 6)},
        {custBranch, "9.0.0", "QX7Lm2_main_firmware", ReleaseFolder::image(4200, 7)},
    };
    return files;
}

QString fileValue(const Served &file)
{
    return file.tag + QLatin1Char('-') + file.key + QStringLiteral(".bin");
}

QByteArray catalogue(const QString &branch)
{
    QJsonArray versions;
    for (const Served &file : served()) {
        if (file.branch != branch)
            continue;
        if (versions.isEmpty() || versions.last()["tag_name"] != file.tag) {
            const bool beta = file.tag.contains(QLatin1String("beta"));
            versions.append(QJsonObject{{"tag_name", file.tag},
                                        {"prerelease", "false"},
                                        {"isbeta", beta ? "true" : "false"}});
        }
        QJsonObject version = versions.last().toObject();
        version.insert(file.key, fileValue(file));
        versions.replace(versions.size() - 1, version);
    }
    return QJsonDocument(QJsonArray{QJsonObject{{"product", "Lumetra"}, {"versions", versions}}})
        .toJson();
}

struct Result
{
    int exitCode = -1;
    QString out;
    QString err;
};

} // namespace

class LumetraFlashTest : public QObject
{
    Q_OBJECT

private:
    ReleaseFolder folder;
    std::unique_ptr<ReleaseServer> server;
    QTemporaryDir scratch; // local image files and the settings of the child

    QString substitute(QString text) const;
    Result run(const QStringList &arguments);
    void saveBranch(const QString &branch);

private slots:
    void initTestCase();
    void commands_data();
    void commands();
};

void LumetraFlashTest::initTestCase()
{
    QVERIFY2(UsbTestbed::inMockEnvironment(), "run this test under umockdev-wrapper");
    for (const QString &branch : {custBranch, labsBranch})
        QVERIFY(folder.writeCatalogue(branch, catalogue(branch)));
    for (const Served &file : served())
        QVERIFY(folder.writeFile(file.branch, fileValue(file), file.bytes));
    server = std::make_unique<ReleaseServer>(folder.path());
    QVERIFY(server->start() != 0);

    const auto writeFile = [this](const QString &name, const QByteArray &bytes) {
        QFile file(scratch.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    };
    QVERIFY(writeFile(QStringLiteral("DOVUr3_local.v2.bin"), ReleaseFolder::image(5000, 10)));
    QVERIFY(writeFile(QStringLiteral("short.bin"), ReleaseFolder::image(4095, 11)));
    QVERIFY(writeFile(QStringLiteral("empty.bin"), QByteArray()));
    QVERIFY(writeFile(QStringLiteral(".bin"), ReleaseFolder::image(5000, 12)));
    QVERIFY(QDir(scratch.path()).mkdir(QStringLiteral("folder.bin")));
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
    // The settings file the program reads under the child's XDG_CONFIG_HOME.
    QSettings settings(scratch.filePath(QStringLiteral("config/Norvatek/Divirare2.conf")),
                       QSettings::IniFormat);
    if (branch.isNull())
        settings.remove(QStringLiteral("ReleaseBranch"));
    else
        settings.setValue(QStringLiteral("ReleaseBranch"), branch);
}

Result LumetraFlashTest::run(const QStringList &arguments)
{
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Never the settings of the user running the tests.
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                       scratch.filePath(QStringLiteral("config")));
    program.setProcessEnvironment(environment);
    QStringList substituted;
    for (const QString &argument : arguments)
        substituted.append(substitute(argument));
    program.start(QStringLiteral(LUMETRA_FLASH_PATH), substituted);
    Result result;
    if (!program.waitForFinished(programTimeoutMs) || program.exitStatus() != QProcess::NormalExit)
        return result;
    result.exitCode = program.exitCode();
    result.out = QString::fromUtf8(program.readAllStandardOutput());
    result.err = QString::fromUtf8(program.readAllStandardError());
    return result;
}

void LumetraFlashTest::commands_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("meters");
    QTest::addColumn<QString>("savedBranch"); // null: none saved
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>(
        "out"); // exactly standard output; a JSON document is compared as such
    QTest::addColumn<QString>("err"); // in the one line on standard error; empty: nothing there

    const QString none;
    const QString server = QStringLiteral("--server=%server");
    const QStringList flash{server, QStringLiteral("flash")};
    const QString refused = QStringLiteral("cannot flash %dir/");

    QTest::newRow("list: none") << QStringList{"list"} << 0 << none << 3 << QString()
                                << "no meter in bootloader mode found";
    QTest::newRow("list: one") << QStringList{"list"} << 1 << none << 0
                               << "%meter0  04d8:000a  serial LM0000  Power meter bootloader\n"
                               << QString();
    QTest::newRow("list: two, in the window's order")
        << QStringList{"list"} << 2 << none << 0
        << "%meter0  04d8:000a  serial LM0000  Power meter bootloader\n"
           "%meter1  04d8:000a  serial LM0001  Power meter bootloader\n"
        << QString();
    QTest::newRow("list --json: two")
        << QStringList{"list", "--json"} << 2 << none << 0
        << R"([{"port": "%meter0", "vendorId": 1240, "productId": 10, "serialNumber": "LM0000",
               "description": "Power meter bootloader"},
              {"port": "%meter1", "vendorId": 1240, "productId": 10, "serialNumber": "LM0001",
               "description": "Power meter bootloader"}])"
        << QString();
    QTest::newRow("list --json: none") << QStringList{"list", "--json"} << 0 << none << 3 << "[]"
                                       << "no meter in bootloader mode found";

    QTest::newRow("versions: betas hidden, newest last")
        << QStringList{server, "versions"} << 0 << none << 0 << "1.0.0\n2.0.0\n9.0.0\n"
        << QString();
    QTest::newRow("versions --betas") << QStringList{server, "versions", "--betas"} << 0 << none
                                      << 0 << "1.0.0\n1.1.0-beta\n2.0.0\n9.0.0\n"
                                      << QString();
    QTest::newRow("versions --branch") << QStringList{server, "versions", "--branch", labsBranch}
                                       << 0 << custBranch << 0 << "3.0.0-labsBranch\n"
                                       << QString();
    QTest::newRow("versions: the saved branch")
        << QStringList{server, "versions"} << 0 << labsBranch << 0 << "3.0.0-labsBranch\n"
        << QString();
    QTest::newRow("versions: an empty saved branch is the standard one")
        << QStringList{server, "versions"} << 0 << "" << 0 << "1.0.0\n2.0.0\n9.0.0\n"
        << QString();
    QTest::newRow("versions --json --betas")
        << QStringList{server, "versions", "--json", "--betas", "--branch", custBranch} << 0 << none
        << 0 << R"([{"tag": "1.0.0", "prerelease": false, "beta": false,
                "firmware": {"DOVUr3_main_firmware": "1.0.0-DOVUr3_main_firmware.bin"}},
               {"tag": "1.1.0-beta", "prerelease": false, "beta": true,
                "firmware": {"DOVUr3_main_firmware": "1.1.0-beta-DOVUr3_main_firmware.bin"}},
               {"tag": "2.0.0", "prerelease": false, "beta": false,
                "firmware": {"DOVUr3_a_firmware": "2.0.0-DOVUr3_a_firmware.bin",
                             "DOVUr3_b_firmware": "2.0.0-DOVUr3_b_firmware.bin",
                             "QX7Lm2_main_firmware": "2.0.0-QX7Lm2_main_firmware.bin"}},
               {"tag": "9.0.0", "prerelease": false, "beta": false,
                "firmware": {"QX7Lm2_main_firmware": "9.0.0-QX7Lm2_main_firmware.bin"}}])"
        << QString();
    QTest::newRow("versions: unknown branch")
        << QStringList{server, "versions", "--branch", "nope"} << 0 << none << 5 << QString()
        << "catalogue unavailable at %server/nope/lumetrarelease/: HTTP status 404";
    QTest::newRow("versions: no server")
        << QStringList{"--server", "http://127.0.0.1:9", "versions"} << 0 << none << 5 << QString()
        << "catalogue unavailable";

    // Usage errors and files that may not be flashed: the meter hears nothing at all.
    QTest::newRow("no command") << QStringList{} << 1 << none << 2 << QString()
                                << "no command given";
    QTest::newRow("unknown command")
        << QStringList{"upgrade"} << 1 << none << 2 << QString() << "unknown command 'upgrade'";
    QTest::newRow("option of another command") << QStringList{"update", "--name", "x"} << 1 << none
                                               << 2 << QString() << "update does not take --name";
    QTest::newRow("server that is no web URL")
        << QStringList{"--server", "ftp://host", "update"} << 1 << none << 2 << QString()
        << "--server wants an http or https URL";
    QTest::newRow("flash: missing file") << flash + QStringList{"%dir/gone.bin"} << 1 << none << 2
                                         << QString() << refused + "gone.bin: no such file";
    QTest::newRow("flash: unreadable file")
        << flash + QStringList{"%dir/folder.bin"} << 1 << none << 2 << QString()
        << refused + "folder.bin: it is a directory";
    QTest::newRow("flash: empty file") << flash + QStringList{"%dir/empty.bin"} << 1 << none << 2
                                       << QString() << refused + "empty.bin: the file is empty";
    QTest::newRow("flash: 4095 bytes")
        << flash + QStringList{"%dir/short.bin"} << 1 << none << 2 << QString()
        << refused + "short.bin: 4095 bytes is less than the 4096";
    QTest::newRow("flash: name too long for the header")
        << flash + QStringList{"%dir/DOVUr3_local.v2.bin", "--name", QString(123, 'n')} << 1 << none
        << 2 << QString() << "is too long for the header block: at most 122 characters";
    QTest::newRow("flash: name the meter cannot store")
        << flash + QStringList{"%dir/DOVUr3_local.v2.bin", "--name", "Прошивка"} << 1 << none << 2
        << QString() << "must be printable ASCII";
    QTest::newRow("flash: file name without a base name")
        << flash + QStringList{"%dir/.bin"} << 1 << none << 2 << QString()
        << "the name sent to the meter would be empty";
}

void LumetraFlashTest::commands()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, meters);
    QFETCH(QString, savedBranch);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);

    saveBranch(savedBranch);
    UsbTestbed testbed;
    std::vector<std::unique_ptr<PowerMeterSimulator>> simulators;
    for (int i = 0; i < meters; ++i) {
        const QString tty = UsbTestbed::processTtyName(i);
        QVERIFY(testbed.addSerialDevice(tty, meterVendorId, meterProductId,
                                        QStringLiteral("LM%1").arg(i, 4, 10, QLatin1Char('0'))));
        simulators.push_back(std::make_unique<PowerMeterSimulator>(testbed.masterFd(tty)));
        simulators.back()->start();
    }

    const Result result = run(arguments);

    QCOMPARE(result.exitCode, exitCode);
    out = substitute(out);
    if (out.startsWith(QLatin1Char('[')))
        QCOMPARE(QJsonDocument::fromJson(result.out.toUtf8()),
                 QJsonDocument::fromJson(out.toUtf8()));
    else
        QCOMPARE(result.out, out);
    if (err.isEmpty()) {
        QCOMPARE(result.err, QString());
    } else {
        QVERIFY2(result.err.startsWith(QLatin1String("lumetra-flash: ")), qPrintable(result.err));
        QVERIFY2(result.err.contains(substitute(err)), qPrintable(result.err));
        QCOMPARE(result.err.count(QLatin1Char('\n')), 1);
    }
    // A command that is refused never reaches the meter.
    if (exitCode == 2) {
        for (const auto &simulator : simulators)
            QCOMPARE(simulator->received(), QByteArray());
    }
    for (auto &simulator : simulators)
        simulator->stop();
}

QTEST_GUILESS_MAIN(LumetraFlashTest)
#include "tst_lumetraflash.moc"
