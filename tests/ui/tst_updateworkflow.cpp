// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// Whole updates through the real window: a simulated meter behind a USB tty that udev (umockdev)
// reports with the meter's ids, and a release server on loopback. The test clicks Update and
// checks what the meter received, what the log says and that the window is ready again.
#include "fileaccess.h"
#include "logindstandin.h"
#include "mainwindow.h"
#include "privatesettings.h"
#include "releasefolder.h"
#include "releaseserver.h"
#include "signedcatalogue.h"
#include "simulatedmeter.h"
#include "statuslog.h"
#include "usbtestbed.h"
#include "watchdog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QtTest>

#include <future>
#include <memory>

#include <sys/stat.h>

namespace {
const QString meterTty = UsbTestbed::processTtyName();
// A second meter on the desk, listed before the bench's own.
const QString neighbourTty = UsbTestbed::processTtyName(1);
// Most runs end within a few seconds: a run that hangs must fail as quickly, not at CTest's limit.
constexpr int runLimitMs = 15000;
// The pause between attempts to open the port, cut to what a test can afford.
constexpr int shortRetryPauseMs = 10;
const QString intoBootloaderMode =
    QStringLiteral("into bootloader mode (power it down, hold the joystick button and press the "
                   "power button)");
// The line after a red end: what to do, and whether the meter was touched.
const QString halfWritten = "The meter may be left half-written: bring it back " +
                            intoBootloaderMode + ", then press Update again.";
const QString notWritten = QStringLiteral("The meter was not written: ");

// The log's shades of its named colours on its white background.
const QColor green(0x00, 0x7a, 0x00), orange(0x8a, 0x5a, 0x00), red(0xc8, 0x00, 0x00);

using Image = ReleaseImage;
using Versions = ReleaseVersions;

// The common case: one version with one image for the meter.
Versions oneImage(quint32 seed)
{
    return {{QStringLiteral("1.0.0"), {{"DOVUr3_firmware", ReleaseFolder::image(5000, seed)}}}};
}

} // namespace

Q_DECLARE_METATYPE(LogLine)

class UpdateWorkflowTest : public QObject
{
    Q_OBJECT

private:
    // Everything one run needs; built fresh for every test so no state leaks between them.
    struct Bench
    {
        ReleaseFolder folder;
        std::unique_ptr<ReleaseServer> server;
        std::unique_ptr<UsbTestbed> testbed;
        std::unique_ptr<PowerMeterSimulator> meter;
        std::unique_ptr<PowerMeterSimulator> neighbour;
        std::unique_ptr<MainWindow> window;
        // The keys the window trusts instead of those built in, when there are any.
        QList<ReleaseSignature::PublicKey> trustedKeys;
    };

    std::unique_ptr<Bench> bench;
    // A system bus of this process's own; logind stands in on it only for the test of what the
    // run locks, and the other runs meet a bus without logind.
    LogindStandIn standIn;
    int runStart = 0; // the log's lines before the latest click
    // Release signing keys: the maker's, which a window may be told to trust, and another.
    std::unique_ptr<TestSigningKey> makerKey;
    std::unique_ptr<TestSigningKey> strangerKey;

    void publish(const Versions &versions);
    void attachMeter(const PowerMeterOptions &options = {});
    // Attaches a meter beside the bench's own and chooses the bench's meter, the second in the
    // list, in the window.
    void attachNeighbourAndChooseSecond(const Versions &versions);
    void unplugMeter();
    // The simulated meter never volunteers the line awaited before each image, so tests shorten
    // that wait unless they want the real one.
    void openWindow(int replyLineTimeoutMs = 300);
    void prepare(const Versions &versions);
    void clickUpdate();
    // False when the run did not end within the limit.
    bool clickUpdateAndWait(int limitMs = runLimitMs);
    QString meterNode() const;
    QList<LogLine> runLog() const; // the lines written since the latest click
    // The lines of the latest run that name its meter: after "Connecting...", and at the end.
    QStringList meterLines() const;
    static bool isMeterLine(const QString &line);
    QComboBox *versions() const { return bench->window->findChild<QComboBox *>("versionsCombo"); }
    QPushButton *updateButton() const
    {
        return bench->window->findChild<QPushButton *>("updateButton");
    }
    void expectWindowAtRest();
    void expectNothingWritten();

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void goodUpdateFlashesEveryImageInKeyOrder();
    void runEndsBeforeFlashing_data();
    void runEndsBeforeFlashing();
    void windowClosedMidDownloadFreesTheNextWindow();
    void windowAnswersThroughTheRun_data();
    void windowAnswersThroughTheRun();
    void runLocksTheWindowUntilItEnds();
    void chosenMeterIsFollowedToItsNewPort();
    void chosenMeterGoneIsNeverReplaced_data();
    void chosenMeterGoneIsNeverReplaced();
    void signedCatalogueDecidesTheRun_data();
    void signedCatalogueDecidesTheRun();
};

void UpdateWorkflowTest::initTestCase()
{
    // Before any window connects to the system bus.
    QVERIFY(standIn.startBus());
    usePrivateSettings();

    makerKey = std::make_unique<TestSigningKey>();
    strangerKey = std::make_unique<TestSigningKey>();
    QVERIFY2(makerKey->isValid(), qPrintable(makerKey->error()));
    QVERIFY2(strangerKey->isValid(), qPrintable(strangerKey->error()));
}

void UpdateWorkflowTest::init()
{
    QSettings(QStringLiteral("Norvatek"), QStringLiteral("Divirare2")).clear();
    bench = std::make_unique<Bench>();
    bench->server = std::make_unique<ReleaseServer>(bench->folder.path());
    QVERIFY(bench->server->start() != 0);
    bench->testbed = std::make_unique<UsbTestbed>();
}

void UpdateWorkflowTest::cleanup()
{
    // The window closes its port before the meter and the testbed go away.
    bench->window.reset();
    bench.reset();
}

void UpdateWorkflowTest::publish(const Versions &versions)
{
    QVERIFY(bench->folder.publish(QStringLiteral("cust"), versions));
}

void UpdateWorkflowTest::attachMeter(const PowerMeterOptions &options)
{
    bench->meter = plugInMeter(*bench->testbed, meterTty, QString(), options);
    QVERIFY(bench->meter);
}

void UpdateWorkflowTest::attachNeighbourAndChooseSecond(const Versions &versions)
{
    publish(versions);
    QVERIFY(bench->neighbour = plugInMeter(*bench->testbed, neighbourTty, "LM0061"));
    QVERIFY(bench->meter = plugInMeter(*bench->testbed, meterTty, "LM0062"));
    openWindow();

    auto *ports = bench->window->findChild<QComboBox *>("serialPortCombo");
    QCOMPARE(ports->count(), 2);
    QCOMPARE(ports->currentText(), neighbourTty + "  serial LM0061");
    ports->setCurrentIndex(1);
    QCOMPARE(ports->currentText(), meterTty + "  serial LM0062");
}

// The meter goes from the desk: its simulator first, since the master end goes with the device.
void UpdateWorkflowTest::unplugMeter()
{
    bench->meter->stop();
    bench->testbed->removeDevice(meterTty);
}

void UpdateWorkflowTest::openWindow(int replyLineTimeoutMs)
{
    const QString url = bench->server->baseUrl();
    bench->window = bench->trustedKeys.isEmpty()
                        ? std::make_unique<MainWindow>(url)
                        : std::make_unique<MainWindow>(url, bench->trustedKeys);
    FirmwareFlasher::Timing timing;
    timing.replyLineTimeoutMs = replyLineTimeoutMs;
    bench->window->setTiming(timing);
    bench->window->show();
    // The catalogue has been answered once its time-out guard stops.
    QTRY_VERIFY(!bench->window->cloud.isWaitingForCatalogue());
}

void UpdateWorkflowTest::prepare(const Versions &versions)
{
    publish(versions);
    attachMeter();
    openWindow();
}

void UpdateWorkflowTest::clickUpdate()
{
    runStart = int(statusLog(bench->window.get()).size());
    QTest::mouseClick(updateButton(), Qt::LeftButton);
}

bool UpdateWorkflowTest::clickUpdateAndWait(int limitMs)
{
    // A run blocked on the serial line holds this thread, and with it the wait below.
    const Watchdog watchdog(limitMs + 2000, "the update run");
    clickUpdate();
    return QTest::qWaitFor([this] { return updateButton()->isEnabled(); }, limitMs);
}

// The device node behind the meter's tty, in the testbed's folder.
QString UpdateWorkflowTest::meterNode() const
{
    return qEnvironmentVariable("UMOCKDEV_DIR") + QStringLiteral("/dev/") + meterTty;
}

QList<LogLine> UpdateWorkflowTest::runLog() const
{
    // The lines that name the meter at the start and at the end are meterLines()'s to check.
    QList<LogLine> lines = statusLog(bench->window.get()).mid(runStart);
    lines.removeIf([](const LogLine &line) { return isMeterLine(line.first); });
    return lines;
}

QStringList UpdateWorkflowTest::meterLines() const
{
    QStringList named;
    for (const LogLine &line : statusLog(bench->window.get()).mid(runStart)) {
        if (isMeterLine(line.first))
            named.append(line.first);
    }
    return named;
}

bool UpdateWorkflowTest::isMeterLine(const QString &line)
{
    static const QRegularExpression naming(QStringLiteral(
        "^(Meter .*|The meter .* (now has version .*|was not updated( to version .*)?))$"));
    return naming.match(line).hasMatch();
}

void UpdateWorkflowTest::expectWindowAtRest()
{
    QVERIFY(updateButton()->isEnabled());
    QVERIFY(!MainWindow::updateRunning);
    QCOMPARE(bench->window->serialLink.holds(), 0);
    QVERIFY(!bench->window->serialLink.isOpen());
}

void UpdateWorkflowTest::expectNothingWritten()
{
    if (!bench->meter)
        return;
    QVERIFY(bench->meter->images().isEmpty());
    QVERIFY(!bench->meter->commands().contains('D'));
    QVERIFY(!bench->meter->resetReceived());
}

// The meter answers as its application firmware does ("App" after the identifier), its port
// opens only at a later attempt, and the version has three images for it among another model's.
// Three flashed images also leave more holds on the link than the run's counted releases.
void UpdateWorkflowTest::goodUpdateFlashesEveryImageInKeyOrder()
{
    // Published checksums, in either case, are the download's suite's to check.
    const QList<Image> images{{"DOVUr3_a_main_firmware", ReleaseFolder::image(40000, 1)},
                              {"DOVUr3_b_radio_firmware", ReleaseFolder::image(4096, 2)},
                              {"DOVUr3_c_dsp_firmware", ReleaseFolder::image(5000, 3)}};
    const Image otherModel{"QX7Lm2_main_firmware", ReleaseFolder::image(9000, 4)};
    publish({{QStringLiteral("1.0.0"), {images[0]}},
             {QStringLiteral("2.0.0"), {images[2], otherModel, images[1], images[0]}}});
    PowerMeterOptions options;
    options.productReply = "DOVUr3App\r\n";
    attachMeter(options);
    openWindow(); // the real line wait before each image is windowAnswersThroughTheRun's
    QCOMPARE(versions()->currentText(), QStringLiteral("2.0.0"));

    bench->window->setTiming(MeterSession::Timing{150, 1000});
    QVERIFY(QFile::rename(meterNode(), meterNode() + ".away"));
    auto nodeBack = std::async(std::launch::async, [this] {
        QThread::msleep(500); // past the first attempts, a second before the last of eleven
        return QFile::rename(meterNode() + ".away", meterNode());
    });
    QVERIFY(clickUpdateAndWait());
    QVERIFY(nodeBack.get());

    QList<LogLine> expected{
        {"Connecting...", green}, {"Flashing Firmware 2.0.0", orange}, {"Updating...", green}};
    for (const Image &image : images)
        expected.append({QStringLiteral("Flashing image ") + image.key, orange});
    expected.append({"Update complete", green});
    QCOMPARE(runLog(), expected);
    // On a desk of several meters the log says which one this was, and what it has now.
    QCOMPARE(meterLines(), (QStringList{"Meter on " + meterTty,
                                        "The meter on " + meterTty + " now has version 2.0.0"}));

    // The bytes, their order on the wire and the closing "R" are the run's suite's to check.
    for (const Image &image : images)
        QVERIFY(bench->meter->holds(image.key, image.bytes));

    QCOMPARE(bench->window->findChild<QProgressBar *>("progressBar")->value(), 100);
    expectWindowAtRest();
}

namespace {
// Where the meter stands when Update is pressed.
enum class MeterState {
    Attached,
    Absent,
    Forbidden // its device node is there, but this user may not open it
};
} // namespace
Q_DECLARE_METATYPE(MeterState)

// Every way a run can end before anything reaches the meter: one red line after
// "Connecting...", the reason on the next line where there is more to say than the line does,
// nothing written, and the window ready for the next try. The run's suite tells every other such
// end apart; these are the ones whose window lines say more.
void UpdateWorkflowTest::runEndsBeforeFlashing_data()
{
    QTest::addColumn<MeterState>("meterState");
    QTest::addColumn<bool>("listed");          // the catalogue came before the click
    QTest::addColumn<QStringList>("redLines"); // %tty: the meter's port

    QTest::newRow("no meter attached")
        << MeterState::Absent << true
        << QStringList{"Failed to find Power Meter device, please restart, reconnect, and retry",
                       "no meter is attached in bootloader mode",
                       notWritten + "attach it, bring it " + intoBootloaderMode +
                           ", then press Update again."};
    // The session sits at the computer's seat: the hint is the udev rule's, not the group's
    // (lumetra-flash's suite has the one without a seat).
    QTest::newRow("port the user may not open, at the computer's seat")
        << MeterState::Forbidden << true
        << QStringList{"Port failed to open", "the port %tty would not open: Permission denied",
                       notWritten +
                           "the package's udev rule gives the logged-in user access to the meter: "
                           "unplug it and bring it into bootloader mode again."};
    // Nothing was ever listed: the cause is the server, not the version.
    QTest::newRow("no release list")
        << MeterState::Attached << false
        << QStringList{"No Internet Connection",
                       "the release list is empty: the release server %server gave none (server "
                       "answered HTTP 503)",
                       "Check the network connection: the window asks the release server again "
                       "by itself. Without a network, use a release folder (Folder...)."};
}

void UpdateWorkflowTest::runEndsBeforeFlashing()
{
    QFETCH(MeterState, meterState);
    QFETCH(bool, listed);
    QFETCH(QStringList, redLines);

    publish(oneImage(5));
    if (meterState != MeterState::Absent)
        attachMeter();
    if (!listed) {
        ServerFaults noCatalogue;
        noCatalogue.pathContains = QStringLiteral("lumetrarelease");
        noCatalogue.status = 503;
        bench->server->setFaults(noCatalogue);
    }
    openWindow();
    // A refused permission is said after the second refusal: all 11 tries would outlast the run's
    // limit.
    constexpr int slowRetryPauseMs = 1600;
    const bool forbidden = meterState == MeterState::Forbidden;
    bench->window->setTiming(
        MeterSession::Timing{forbidden ? slowRetryPauseMs : shortRetryPauseMs, 1000});
    bench->server->clearRequests();

    const QByteArray seatBefore = qgetenv("XDG_SEAT");
    const auto restoreSeat = qScopeGuard([&] { qputenv("XDG_SEAT", seatBefore); });
    qputenv("XDG_SEAT", forbidden ? "seat0" : "");
    if (forbidden) {
        const QByteArray node = QFile::encodeName(meterNode());
        QCOMPARE(::chmod(node.constData(), 0), 0);
        const FileAccess::WithoutOverride asAnyUser;
        QVERIFY(clickUpdateAndWait());
        QCOMPARE(::chmod(node.constData(), S_IRUSR | S_IWUSR), 0);
    } else {
        QVERIFY(clickUpdateAndWait());
    }

    QList<LogLine> expected{{"Connecting...", green}};
    for (const QString &line : std::as_const(redLines))
        expected.append({QString(line)
                             .replace(QLatin1String("%tty"), meterTty)
                             .replace(QLatin1String("%server"), bench->server->baseUrl()),
                         red});
    QCOMPARE(runLog(), expected);
    expectNothingWritten();
    expectWindowAtRest();
    // Firmware is asked for only from a meter that was opened and identified itself.
    for (const QString &request : bench->server->requests())
        QVERIFY2(!request.contains(QLatin1String("lumetra.php")), qPrintable(request));
}

// The window's run cannot end once the window is gone; it must not lock out the next window.
void UpdateWorkflowTest::windowClosedMidDownloadFreesTheNextWindow()
{
    prepare(oneImage(14));
    ServerFaults slowDownload;
    slowDownload.pathContains = QStringLiteral("lumetra.php");
    slowDownload.delayMs = 3000;
    bench->server->setFaults(slowDownload);
    clickUpdate();
    QVERIFY(!updateButton()->isEnabled()); // waiting for the download
    bench->window.reset();

    bench->server->setFaults(ServerFaults());
    openWindow();
    QVERIFY(clickUpdateAndWait());
    QCOMPARE(runLog().last(), LogLine("Update complete", green));
    QCOMPARE(bench->meter->images().size(), 1);
}

// Serial waits block the window's thread for seconds (the 6 s line wait, three 3 s ACK waits of
// a meter that fell silent, the drains and product queries of one that never stops printing):
// a timer ticking every 20 ms must still be served, and every faulty meter ends in red lines: the
// result, then why and what to do. A transfer that stops half-way names the image, the block of
// how many and what the meter did; how each way of stopping is told is the flasher's suite's.
void UpdateWorkflowTest::windowAnswersThroughTheRun_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("replyLineTimeoutMs");
    QTest::addColumn<QList<LogLine>>("end"); // the last lines of the run's log

    QTest::newRow("good update, real line wait")
        << int(PowerMeterOptions::Fault::None) << FirmwareFlasher::Timing().replyLineTimeoutMs
        << QList<LogLine>{{"Update complete", green}};
    QTest::newRow("meter falls silent after block 19")
        << int(PowerMeterOptions::Fault::DisappearAfterBlock) << 300
        << QList<LogLine>{{"ERROR: Update failed", red},
                          {"DOVUr3_firmware: the meter stopped answering at block 20 of 40", red},
                          {halfWritten, red}};
    QTest::newRow("meter prints without pause after identifying itself")
        << int(PowerMeterOptions::Fault::Chatter) << 300
        << QList<LogLine>{
               {"Compatible product eligable for update not found, Reboot and retry", red},
               // What it printed, cut to 64 characters.
               {"the meter on " + meterTty +
                    " did not identify as a compatible product (it answered '" +
                    QString(64, QLatin1Char('.')) + QChar(0x2026) + "')",
                red},
               {notWritten + "check that it is a power meter this program updates, bring it " +
                    intoBootloaderMode + ", then press Update again.",
                red}};
}

void UpdateWorkflowTest::windowAnswersThroughTheRun()
{
    QFETCH(int, fault);
    QFETCH(int, replyLineTimeoutMs);
    QFETCH(QList<LogLine>, end);
    const Versions versions = oneImage(31);
    publish(versions);
    PowerMeterOptions options;
    options.fault = PowerMeterOptions::Fault(fault);
    options.faultBlock = 19; // of 40: the umockdev tty stays, the meter only goes quiet
    attachMeter(options);
    openWindow(replyLineTimeoutMs);

    QTimer ticker;
    QElapsedTimer sinceTick;
    qint64 longestGapMs = 0;
    connect(&ticker, &QTimer::timeout, this,
            [&] { longestGapMs = qMax(longestGapMs, sinceTick.restart()); });
    sinceTick.start();
    ticker.start(20);
    QVERIFY(clickUpdateAndWait(30000)); // the faulty meters take 10 to 14 s of real waits
    ticker.stop();

    QVERIFY2(longestGapMs < 250, qPrintable(QString::number(longestGapMs)));
    QCOMPARE(runLog().mid(runLog().size() - end.size()), end);
    if (end.size() > 1) {
        QVERIFY(bench->meter->images().isEmpty());
        QVERIFY(!runLog().contains(LogLine("Update complete", green)));
    } else {
        QVERIFY(bench->meter->images().constFirst().data == versions[0].second[0].bytes);
    }
    expectWindowAtRest();
}

// Nothing the user does mid-run may start, change or stall it: the controls are off, a close
// request is refused with one line however often it comes, and all is given back at the end.
// Nor may the computer sleep: from the product check to "R" the window holds logind's lock, and
// lets it go when the run ends (that it goes however the run ends is the session's one release
// after either end, and the inhibitor's suite's to check).
void UpdateWorkflowTest::runLocksTheWindowUntilItEnds()
{
    QVERIFY(standIn.startLogind());
    const auto stopLogind = qScopeGuard([this] { standIn.stopLogind(); });
    prepare(oneImage(32));
    MainWindow *window = bench->window.get();
    auto *betas = window->findChild<QCheckBox *>("showBetaCheckBox");
    betas->setEnabled(false); // off before the run, so off after it
    const QList<QWidget *> unlocked{window->findChild<QPushButton *>("branchButton"), versions(),
                                    window->findChild<QComboBox *>("serialPortCombo")};
    QCOMPARE(standIn.inhibitors(), QList<QStringList>());
    QList<QStringList> heldWhileWriting;
    bool probed = false;
    connect(&window->flasher, &FirmwareFlasher::progress_update, this, [&](int percent) {
        if (probed || percent < 50)
            return;
        probed = true;
        heldWhileWriting = standIn.inhibitors();
        for (QWidget *control : unlocked)
            QVERIFY2(!control->isEnabled(), qPrintable(control->objectName()));
        QVERIFY(!window->close());
        QVERIFY(!window->close());
        QVERIFY(window->isVisible());
    });

    QVERIFY(clickUpdateAndWait());

    QVERIFY(probed);
    QCOMPARE(heldWhileWriting, QList<QStringList>{LogindStandIn::updateLock("lumetra-updater")});
    QTRY_COMPARE(standIn.inhibitors(), QList<QStringList>());
    QCOMPARE(standIn.inhibitCalls(), 1);
    const QList<LogLine> expected{{"Connecting...", green},
                                  {"Flashing Firmware 1.0.0", orange},
                                  {"Updating...", green},
                                  {"Flashing image DOVUr3_firmware", orange},
                                  {"Update in progress: please wait until it ends", orange},
                                  {"Update complete", green}};
    QCOMPARE(runLog(), expected);
    for (QWidget *control : unlocked)
        QVERIFY2(control->isEnabled(), qPrintable(control->objectName()));
    QVERIFY(!betas->isEnabled());
    QCOMPARE(window->focusWidget(), updateButton());
    QVERIFY(window->close());
    QVERIFY(!window->isVisible());
}

// Two meters on the desk and the user chooses the second, which is unplugged and comes back on
// a new port: the list follows it there, and the run writes that meter and leaves the first
// alone. The next run names the meter with what the history says of its last update.
void UpdateWorkflowTest::chosenMeterIsFollowedToItsNewPort()
{
    const Versions versions = oneImage(40);
    attachNeighbourAndChooseSecond(versions);
    unplugMeter();
    bench->window->ports_update();
    const QString newTty = UsbTestbed::processTtyName(2);
    QVERIFY(bench->meter = plugInMeter(*bench->testbed, newTty, "LM0062"));
    bench->window->ports_update();
    QCOMPARE(bench->window->findChild<QComboBox *>("serialPortCombo")->currentText(),
             newTty + "  serial LM0062");

    QVERIFY(clickUpdateAndWait());

    QCOMPARE(runLog().last(), LogLine("Update complete", green));
    QCOMPARE(bench->meter->images().size(), 1);
    QVERIFY(bench->meter->images().first().data == versions[0].second[0].bytes);
    QCOMPARE(bench->neighbour->received(), QByteArray());
    expectWindowAtRest();

    const QString today = QDateTime::currentDateTimeUtc().date().toString(Qt::ISODate);
    QVERIFY(clickUpdateAndWait());
    QCOMPARE(meterLines().first(), QStringLiteral("Meter LM0062 on %1 (last update LM0062: 1.0.0 "
                                                  "on %2, complete)")
                                       .arg(newTty, today));
}

// A chosen meter that has gone ends the run red; the other meter on the desk is never taken in
// its place.
void UpdateWorkflowTest::chosenMeterGoneIsNeverReplaced_data()
{
    QTest::addColumn<bool>("duringDownload"); // unplugged while the firmware downloads
    QTest::newRow("unplugged before the click") << false;
    QTest::newRow("unplugged while the firmware downloads") << true;
}

void UpdateWorkflowTest::chosenMeterGoneIsNeverReplaced()
{
    QFETCH(bool, duringDownload);
    attachNeighbourAndChooseSecond(oneImage(41));

    if (!duringDownload) {
        unplugMeter();
        bench->window->ports_update();
        QCOMPARE(bench->window->findChild<QComboBox *>("serialPortCombo")->currentText(),
                 "LM0062  (not attached, last on " + meterTty + ")");
        QVERIFY(clickUpdateAndWait());
    } else {
        ServerFaults slowDownload;
        slowDownload.pathContains = QStringLiteral("lumetra.php");
        slowDownload.delayMs = 1000;
        bench->server->setFaults(slowDownload);
        const Watchdog watchdog(runLimitMs, "the update run");
        clickUpdate();
        QCOMPARE(bench->meter->commands(), QByteArray("P")); // identified, download pending
        unplugMeter();
        QVERIFY(QTest::qWaitFor([this] { return updateButton()->isEnabled(); }, runLimitMs));
    }

    const QString notFound =
        QStringLiteral("Failed to find Power Meter device, please restart, reconnect, and retry");
    const QString meter = (duringDownload ? QStringLiteral("meter LM0062 on %1")
                                          : QStringLiteral("meter LM0062, last seen on %1,"))
                              .arg(meterTty);
    QCOMPARE(runLog(), (QList<LogLine>{{"Connecting...", green},
                                       {notFound, red},
                                       {"the " + meter + " is not attached", red},
                                       {notWritten + "attach it, bring it " + intoBootloaderMode +
                                            ", then press Update again.",
                                        red}}));
    // The end names the meter the user chose, and that it was not updated.
    QCOMPARE(meterLines().last(), "The " + meter + " was not updated to version 1.0.0");
    // The bar shows the run failed, not a part of a transfer.
    auto *bar = bench->window->findChild<QProgressBar *>("progressBar");
    QCOMPARE(bar->value(), bar->maximum());
    QVERIFY(bar->isTextVisible());
    QCOMPARE(bar->text(), QStringLiteral("Update failed"));
    QCOMPARE(bench->neighbour->received(), QByteArray());
    expectNothingWritten();
    expectWindowAtRest();
}

// A window that trusts the maker's key lists and updates only from a catalogue whose signature
// verifies. Any other catalogue lists nothing, with one red line that says why, so an update
// finds no firmware; a signed version with an image left without a checksum is refused before
// anything is fetched. Nothing reaches the meter either way.
void UpdateWorkflowTest::signedCatalogueDecidesTheRun_data()
{
    QTest::addColumn<Signing>("signing");
    QTest::addColumn<bool>("checksumPublished");
    QTest::addColumn<QString>("untrusted"); // the reason line's clause; empty: listed

    const QString changed = QStringLiteral("its signature does not match it: it was changed after "
                                           "signing");
    QTest::newRow("good signature") << Signing::Good << true << QString();
    QTest::newRow("one byte changed") << Signing::ChangedByte << true << changed;
    // Every other reason a signature is refused is the trust object's to tell apart.
    QTest::newRow("good signature, image without a checksum")
        << Signing::Good << false << QString();
}

void UpdateWorkflowTest::signedCatalogueDecidesTheRun()
{
    QFETCH(Signing, signing);
    QFETCH(bool, checksumPublished);
    QFETCH(QString, untrusted);
    const QByteArray bytes = ReleaseFolder::image(5000, 40);
    const Image image{QStringLiteral("DOVUr3_firmware"), bytes,
                      checksumPublished ? ReleaseFolder::sha256(bytes) : QString()};
    publish({{QStringLiteral("1.0.0"), {image}}});
    QVERIFY(signAs(bench->folder, QStringLiteral("cust"), signing, *makerKey, *strangerKey));
    attachMeter();
    bench->trustedKeys = trustedKeysOf(*makerKey);
    openWindow();
    QCOMPARE(versions()->count(), untrusted.isEmpty() ? 1 : 0);
    bench->server->clearRequests();

    QVERIFY(clickUpdateAndWait());

    // The catalogue's line came when the window opened: the one line before the run.
    QList<LogLine> beforeRun;
    const QString doNotUpdate =
        QStringLiteral("do not update from this server until its maintainer has checked its "
                       "release list: it may have been changed on its way.");
    if (!untrusted.isEmpty())
        beforeRun.append({{"The release catalogue is not trusted: " + untrusted, red},
                          {"D" + doNotUpdate.mid(1), red}});
    QCOMPARE(statusLog(bench->window.get()).mid(2, runStart - 2), beforeRun);
    QList<LogLine> expected{{"Connecting...", green}};
    if (!untrusted.isEmpty()) {
        expected.append({{"Error: No firmware for this device in this version", red},
                         {"the release list is empty: the release catalogue is not trusted", red},
                         {notWritten + doNotUpdate, red}});
    } else if (!checksumPublished) {
        expected.append({"Error: Firmware download refused: the signed catalogue publishes no "
                         "checksum for DOVUr3_firmware",
                         red});
        expected.append({notWritten + "this release may not be installed as published: choose "
                                      "another version in the list.",
                         red});
    } else {
        expected.append({{"Flashing Firmware 1.0.0", orange},
                         {"Updating...", green},
                         {"Flashing image DOVUr3_firmware", orange},
                         {"Update complete", green}});
    }
    QCOMPARE(runLog(), expected);
    if (expected.last().first == QLatin1String("Update complete")) {
        QCOMPARE(bench->meter->images().size(), 1);
        QVERIFY(bench->meter->images().first().data == bytes);
    } else {
        expectNothingWritten();
        QVERIFY(bench->server->requests().isEmpty());
    }
    expectWindowAtRest();
}

QTEST_MAIN(UpdateWorkflowTest)
#include "tst_updateworkflow.moc"
