// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// Whole update runs as every front end gets them: the steps in order by their codes, the outcome
// that decides the run, and what the meter received. The front ends' suites keep only what they
// add: colours and lines in the window, exit statuses and JSON in lumetra-flash.
#include "logindstandin.h"
#include "nvkcloudinterface.h"
#include "powermetersimulator.h"
#include "privatesettings.h"
#include "reason.h"
#include "releasefolder.h"
#include "releaseserver.h"
#include "simulatedmeter.h"
#include "updatehistory.h"
#include "updaterun.h"
#include "usbtestbed.h"
#include "watchdog.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
const QString meterTty = UsbTestbed::processTtyName();
const QString neighbourTty = UsbTestbed::processTtyName(1);
constexpr int runLimitMs = 20000;
constexpr int shortAckTimeoutMs = 200;
constexpr int shortAckPollMs = 50;
constexpr int shortReplyLineMs = 300;
constexpr int shortRetryPauseMs = 10;

using Image = ReleaseImage;
using Versions = ReleaseVersions;

Versions oneImage(qsizetype size, quint32 seed)
{
    return {{QStringLiteral("1.0.0"), {{"DOVUr3_firmware", ReleaseFolder::image(size, seed)}}}};
}

// Where the meter stands when the run starts.
enum class MeterState { Attached, Absent, Unopenable };

} // namespace

Q_DECLARE_METATYPE(ServerFaults)
Q_DECLARE_METATYPE(Versions)
Q_DECLARE_METATYPE(PowerMeterOptions)
Q_DECLARE_METATYPE(MeterState)

class UpdateRunTest : public QObject
{
    Q_OBJECT

private:
    struct Bench
    {
        ReleaseFolder folder;
        std::unique_ptr<ReleaseServer> server;
        std::unique_ptr<UsbTestbed> testbed;
        std::unique_ptr<PowerMeterSimulator> meter;
        std::unique_ptr<PowerMeterSimulator> neighbour;
        std::unique_ptr<NVKCloudInterface> cloud;
        SerialLink link;
        FirmwareFlasher flasher;
        std::unique_ptr<MeterSession> session;
        std::unique_ptr<UpdateRun> run;
        QStringList codes; // every step's code, in order
        QList<UpdateStep> steps;
        QTemporaryDir historyFolder;
        std::unique_ptr<UpdateHistory> history;
    };
    std::unique_ptr<Bench> bench;
    LogindStandIn standIn;

    void attachMeter(const PowerMeterOptions &options = {});
    // The client, the session and the run, with the catalogue of the bench's server listed.
    void openRun();
    UpdateStep runTo(const QString &port, const QString &version);

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void goodRunWritesEveryImageInKeyOrder();
    void runEndsWithTheDecidingStep_data();
    void runEndsWithTheDecidingStep();
    void catalogueOutcomeIsTheSameForEveryRequest_data();
    void catalogueOutcomeIsTheSameForEveryRequest();
    void chosenMeterIsTheOnlyOneWritten();
    void folderImagesNeedNoServer();
    void versionChoice_data();
    void versionChoice();
    void everyReasonIsInTheManual();
};

void UpdateRunTest::initTestCase()
{
    // A bus without logind: the runs go on without the sleep lock, as on a bench.
    QVERIFY(standIn.startBus());
    usePrivateSettings();
}

void UpdateRunTest::init()
{
    bench = std::make_unique<Bench>();
    bench->server = std::make_unique<ReleaseServer>(bench->folder.path());
    QVERIFY(bench->server->start() != 0);
    bench->testbed = std::make_unique<UsbTestbed>();
}

void UpdateRunTest::cleanup()
{
    // The run lets go of the port before the meter and the testbed go away.
    bench->run.reset();
    bench->session.reset();
    bench.reset();
}

void UpdateRunTest::attachMeter(const PowerMeterOptions &options)
{
    bench->meter = plugInMeter(*bench->testbed, meterTty, QStringLiteral("LM0120"), options,
                               PowerMeterSimulator::Ownership::BorrowedHangUp);
    QVERIFY(bench->meter);
}

void UpdateRunTest::openRun()
{
    bench->cloud = std::make_unique<NVKCloudInterface>(bench->server->baseUrl());
    FirmwareFlasher::Timing timing;
    timing.ackTimeoutMs = shortAckTimeoutMs;
    timing.ackPollMs = shortAckPollMs;
    timing.replyLineTimeoutMs = shortReplyLineMs;
    bench->flasher.setTiming(timing);
    bench->session = std::make_unique<MeterSession>(bench->link, bench->flasher,
                                                    QStringLiteral("tst_updaterun"));
    bench->session->setTiming(MeterSession::Timing{shortRetryPauseMs, shortRetryPauseMs});
    bench->run = std::make_unique<UpdateRun>(*bench->cloud, *bench->session);
    bench->history =
        std::make_unique<UpdateHistory>(bench->historyFolder.filePath(QStringLiteral("h.sqlite")));
    bench->run->keepHistory(bench->history.get(), UpdateRecord::Program::Terminal);
    connect(bench->run.get(), &UpdateRun::reported, this, [this](const UpdateStep &step) {
        bench->codes.append(step.code());
        bench->steps.append(step);
    });
    QSignalSpy catalogue(bench->run.get(), &UpdateRun::catalogueEnded);
    bench->cloud->requestVersions(QStringLiteral("cust"), false);
    QVERIFY(catalogue.wait());
}

UpdateStep UpdateRunTest::runTo(const QString &port, const QString &version)
{
    const Watchdog watchdog(runLimitMs + 2000, "the update run");
    QSignalSpy finished(bench->run.get(), &UpdateRun::finished);
    bench->run->start(
        [&port](UpdateRun::Moment) {
            return UpdateRun::MeterChoice{port, UpdateStep::noMeter(port)};
        },
        version);
    if (finished.isEmpty() && !finished.wait(runLimitMs))
        return UpdateStep::of(UpdateStep::Kind::StillRunning);
    // The run never ends holding the meter's port.
    if (bench->link.holds() != 0 || bench->link.isOpen())
        return UpdateStep::of(UpdateStep::Kind::StillRunning);
    return finished.first().first().value<UpdateStep>();
}

// The meter answers as its application does ("App" after the identifier), and the version has
// three images for it among another model's: all three are written in key order, and "R" ends it.
void UpdateRunTest::goodRunWritesEveryImageInKeyOrder()
{
    const QList<Image> images{{"DOVUr3_a_main_firmware", ReleaseFolder::image(40000, 1)},
                              {"DOVUr3_b_radio_firmware", ReleaseFolder::image(4096, 2)},
                              {"DOVUr3_c_dsp_firmware", ReleaseFolder::image(5000, 3)}};
    const Image otherModel{"QX7Lm2_main_firmware", ReleaseFolder::image(9000, 4)};
    QVERIFY(
        bench->folder.publish("cust", {{"2.0.0", {images[2], otherModel, images[1], images[0]}}}));
    PowerMeterOptions options;
    options.productReply = "DOVUr3App\r\n";
    attachMeter(options);
    openRun();

    const UpdateStep outcome = runTo(meterTty, QStringLiteral("2.0.0"));

    QVERIFY2(!outcome.isFailure(), qPrintable(outcome.reason));
    QCOMPARE(outcome.kind, UpdateStep::Kind::Complete);
    QStringList expected{"connecting", "flashing-firmware", "no-sleep-lock", "updating"};
    for (int i = 0; i < images.size(); ++i)
        expected.append("flashing-image");
    expected.append("update-complete");
    QCOMPARE(bench->codes, expected);
    const QList<ReceivedImage> received = bench->meter->images();
    QCOMPARE(received.size(), images.size());
    for (qsizetype i = 0; i < images.size(); ++i) {
        QCOMPARE(received[i].name, images[i].key);
        QVERIFY(received[i].data == images[i].bytes);
    }
    QVERIFY(bench->meter->protocolErrors().isEmpty());
    QVERIFY(bench->meter->commands().endsWith('R'));

    // The history says which meter got which firmware from where, every image confirmed.
    const std::optional<UpdateRecord> kept = bench->history->latest(QStringLiteral("LM0120"));
    QVERIFY(kept);
    QCOMPARE(kept->result, UpdateRecord::Result::Complete);
    QCOMPARE(kept->port, meterTty);
    QCOMPARE(kept->hardwareId, QStringLiteral("DOVUr3App"));
    QCOMPARE(kept->version, QStringLiteral("2.0.0"));
    QCOMPARE(kept->source, bench->server->baseUrl());
    QCOMPARE(kept->images.size(), images.size());
    for (qsizetype i = 0; i < images.size(); ++i) {
        QCOMPARE(kept->images[i].name, images[i].key);
        QCOMPARE(kept->images[i].sha256, ReleaseFolder::sha256(images[i].bytes));
        QVERIFY(kept->images[i].confirmed);
    }
}

// Every way a run can fail, told once here for every front end: the codes of the steps from the
// click, the reason code of the outcome and the step it is, and whether the meter was written.
void UpdateRunTest::runEndsWithTheDecidingStep_data()
{
    QTest::addColumn<MeterState>("meterState");
    QTest::addColumn<PowerMeterOptions>("options");
    QTest::addColumn<Versions>("versions");
    QTest::addColumn<ServerFaults>("faults");
    QTest::addColumn<QStringList>("codes");
    QTest::addColumn<QString>("reasonCode");
    QTest::addColumn<QString>("reason"); // %tty: the meter's port; empty: not compared
    QTest::addColumn<bool>("written");   // "D" reached the meter

    const PowerMeterOptions healthy;
    const Versions good = oneImage(5000, 5);
    const ServerFaults none;
    const QStringList identified{"connecting"};
    const QStringList writing{"connecting", "flashing-firmware", "no-sleep-lock", "updating"};
    using Fault = PowerMeterOptions::Fault;

    QTest::newRow("no meter attached") << MeterState::Absent << healthy << good << none
                                       << QStringList{"connecting", "no-meter"} << "no-meter"
                                       << "no meter in bootloader mode on port %tty" << false;
    QTest::newRow("port never opens")
        << MeterState::Unopenable << healthy << good << none
        << QStringList{"connecting", "port-failed"} << "port-missing"
        << "the port %tty would not open: No such file or directory" << false;
    PowerMeterOptions lowerCase;
    lowerCase.productReply = "dovur3\r";
    QTest::newRow("marker in lower case")
        << MeterState::Attached << lowerCase << good << none
        << QStringList{"connecting", "not-compatible"} << "not-compatible"
        << "the meter on %tty did not identify as a compatible product (it answered 'dovur3')"
        << false;
    PowerMeterOptions anotherProductLater;
    anotherProductLater.laterProductReply = "dovur3\r";
    QTest::newRow("another product answers once the images are in")
        << MeterState::Attached << anotherProductLater << good << none
        << QStringList{"connecting", "flashing-firmware", "no-sleep-lock", "not-compatible"}
        << "not-compatible" << QString() << false;

    ServerFaults notFound;
    notFound.pathContains = QStringLiteral("lumetra.php");
    notFound.status = 404;
    QTest::newRow("server answers HTTP 404 for the image")
        << MeterState::Attached << healthy << good << notFound
        << QStringList{"connecting", "download-failed"} << "http-status"
        << "the download of DOVUr3_firmware failed: server answered HTTP 404" << false;
    const QByteArray bytes = ReleaseFolder::image(5000, 16);
    const QString otherSha256 = ReleaseFolder::sha256(ReleaseFolder::image(5000, 17));
    QTest::newRow("wrong checksum on the second of two images")
        << MeterState::Attached << healthy
        << Versions{{"1.0.0",
                     {{"DOVUr3_a_firmware", bytes}, {"DOVUr3_b_firmware", bytes, otherSha256}}}}
        << none << QStringList{"connecting", "download-failed"} << "checksum-mismatch"
        << "the download of DOVUr3_b_firmware failed: checksum does not match the published one"
        << false;
    QTest::newRow("only another model's firmware")
        << MeterState::Attached << healthy
        << Versions{{"1.0.0", {{"QX7Lm2_firmware", ReleaseFolder::image(5000, 15)}}}} << none
        << QStringList{"connecting", "no-firmware"} << "no-firmware"
        << "version 1.0.0 has no firmware for this meter (DOVUr3)" << false;

    const Image overlong{QStringLiteral("DOVUr3_%1_firmware").arg(QString(120, QLatin1Char('b'))),
                         ReleaseFolder::image(4096, 9)};
    QTest::newRow("an image name the meter cannot take stops every image")
        << MeterState::Attached << healthy
        << Versions{{"1.0.0", {{"DOVUr3_a_firmware", ReleaseFolder::image(4096, 8)}, overlong}}}
        << none << writing + QStringList{"image-name", "update-failed"} << "bad-name" << QString()
        << false;

    // A failed or refused image does not stop the next one; the outcome names the first.
    PowerMeterOptions cancelFirst;
    cancelFirst.fault = Fault::CancelAtBlock;
    cancelFirst.faultBlock = 5;
    cancelFirst.faultImage = 0;
    const Versions twoImages{{"1.0.0",
                              {{"DOVUr3_a_firmware", ReleaseFolder::image(8192, 8)},
                               {"DOVUr3_b_firmware", ReleaseFolder::image(4096, 9)}}}};
    QTest::newRow("meter cancels the first of two images")
        << MeterState::Attached << cancelFirst << twoImages << none
        << writing +
               QStringList{"flashing-image", "image-failed", "flashing-image", "update-failed"}
        << "meter-cancelled" << QString() << true;
    const Versions tooSmallFirst{{"1.0.0",
                                  {{"DOVUr3_a_firmware", ReleaseFolder::image(4095, 8)},
                                   {"DOVUr3_b_firmware", ReleaseFolder::image(4096, 9)}}}};
    QTest::newRow("4095 bytes are refused, the next image is written")
        << MeterState::Attached << healthy << tooSmallFirst << none
        << writing + QStringList{"image-missing", "flashing-image", "update-failed"} << "too-small"
        << "the server sent less than 4096 bytes for DOVUr3_a_firmware" << true;

    // Each way a transfer stops carries its own code, all seven of them told apart.
    const QList<std::pair<const char *, std::pair<Fault, QString>>> transfer{
        {"meter refuses block 3 at every resend", {Fault::NakBlockAlways, "meter-nak"}},
        {"meter falls silent at block 3", {Fault::HangAt, "meter-silent"}},
        {"meter cancels at block 3", {Fault::CancelAtBlock, "meter-cancelled"}},
        {"meter unplugged at block 3", {Fault::UnplugAt, "meter-unplugged"}},
        {"meter never asks for the data", {Fault::NoCrcRequest, "meter-not-ready"}}};
    for (const auto &[row, fault] : transfer) {
        PowerMeterOptions options;
        options.fault = fault.first;
        options.faultBlock = 3;
        QTest::newRow(row) << MeterState::Attached << options << good << none
                           << writing +
                                  QStringList{"flashing-image", "image-failed", "update-failed"}
                           << fault.second << QString() << true;
    }
}

void UpdateRunTest::runEndsWithTheDecidingStep()
{
    QFETCH(MeterState, meterState);
    QFETCH(PowerMeterOptions, options);
    QFETCH(Versions, versions);
    QFETCH(ServerFaults, faults);
    QFETCH(QStringList, codes);
    QFETCH(QString, reasonCode);
    QFETCH(QString, reason);
    QFETCH(bool, written);

    QVERIFY(bench->folder.publish(QStringLiteral("cust"), versions));
    if (meterState == MeterState::Attached) {
        attachMeter(options);
    } else if (meterState == MeterState::Unopenable) {
        QVERIFY(bench->testbed->addMeter(meterTty));
        QVERIFY(QFile::remove(qEnvironmentVariable("UMOCKDEV_DIR") + "/dev/" + meterTty));
    }
    openRun();
    bench->server->setFaults(faults);

    const UpdateStep outcome = runTo(meterTty, QStringLiteral("1.0.0"));

    QCOMPARE(bench->codes, codes);
    QVERIFY(outcome.isFailure());
    // A meter that answers as another product once the images are in is asked twice more, and
    // not written.
    if (!options.laterProductReply.isNull())
        QCOMPARE(bench->meter->productQueries(), 3);
    QCOMPARE(outcome.reasonCode, reasonCode);
    if (!reason.isEmpty())
        QCOMPARE(outcome.reason, QString(reason).replace(QLatin1String("%tty"), meterTty));
    // The outcome is one of the steps reported, never a failure the front ends did not hear of.
    const auto reported =
        std::find_if(bench->steps.cbegin(), bench->steps.cend(),
                     [&](const UpdateStep &step) { return step.reasonCode == outcome.reasonCode; });
    QVERIFY(reported != bench->steps.cend());
    if (bench->meter)
        QCOMPARE(bench->meter->commands().contains('D') || !bench->meter->images().isEmpty(),
                 written);
    // Every run that had a meter to write leaves a failed record with the outcome's reason, and
    // no image of it counts as confirmed but one the meter really took whole.
    const std::optional<UpdateRecord> kept = bench->history->latest(QStringLiteral("LM0120"));
    QCOMPARE(bool(kept), meterState == MeterState::Attached);
    if (kept) {
        QCOMPARE(kept->result, UpdateRecord::Result::Failed);
        QCOMPARE(kept->reason, reasonCode);
        QStringList taken;
        for (const ReceivedImage &received : bench->meter->images())
            taken.append(received.name);
        for (const ImageRecord &image : kept->images)
            QCOMPARE(image.confirmed, taken.contains(image.name));
    }
}

// However the catalogue request ended, the run says it in the same words to every front end,
// and an Update pressed then says why there was nothing to choose from.
void UpdateRunTest::catalogueOutcomeIsTheSameForEveryRequest_data()
{
    QTest::addColumn<ServerFaults>("faults");
    QTest::addColumn<QString>("branch");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("reason");
    ServerFaults unavailable;
    unavailable.pathContains = QStringLiteral("lumetrarelease");
    unavailable.status = 503;
    QTest::newRow("server answers 503") << unavailable << "cust"
                                        << "no-internet"
                                        << "server answered HTTP 503";
    ServerFaults notFound;
    notFound.pathContains = QStringLiteral("lumetrarelease");
    notFound.status = 404;
    QTest::newRow("custom branch not on the server")
        << notFound << "rf-team"
        << "no-internet"
        << "the release branch rf-team was not found on the server";
}

void UpdateRunTest::catalogueOutcomeIsTheSameForEveryRequest()
{
    QFETCH(ServerFaults, faults);
    QFETCH(QString, branch);
    QFETCH(QString, code);
    QFETCH(QString, reason);
    QVERIFY(bench->folder.publish(QStringLiteral("cust"), oneImage(5000, 3)));
    attachMeter();
    openRun();
    bench->server->setFaults(faults);

    QSignalSpy ended(bench->run.get(), &UpdateRun::catalogueEnded);
    bench->cloud->requestVersions(branch, false);
    QVERIFY(ended.wait());
    const UpdateStep outcome = ended.first().first().value<UpdateStep>();
    QCOMPARE(QString(outcome.code()), code);
    QCOMPARE(outcome.reason, reason);

    // Update pressed then blames the server, and says what it answered, never the version.
    const UpdateStep end = runTo(meterTty, QString());
    QCOMPARE(end.reasonCode, QStringLiteral("no-versions"));
    QCOMPARE(end.reason,
             QStringLiteral("the release list is empty: the release server %1 gave none "
                            "(%2)")
                 .arg(bench->server->baseUrl(), reason));
    QVERIFY(!bench->meter->commands().contains('D'));
}

// Two meters on the bench: the run writes the one it was given, and when that one has gone it
// writes none, however ready the other one is.
void UpdateRunTest::chosenMeterIsTheOnlyOneWritten()
{
    QVERIFY(bench->folder.publish(QStringLiteral("cust"), oneImage(5000, 21)));
    bench->neighbour = plugInMeter(*bench->testbed, neighbourTty, QStringLiteral("LM0121"));
    QVERIFY(bench->neighbour);
    attachMeter();
    openRun();

    QVERIFY(!runTo(meterTty, QStringLiteral("1.0.0")).isFailure());
    QCOMPARE(bench->meter->images().size(), 1);
    QCOMPARE(bench->neighbour->received(), QByteArray());

    bench->meter->stop();
    bench->testbed->removeDevice(meterTty);
    const UpdateStep gone = runTo(meterTty, QStringLiteral("1.0.0"));
    QCOMPARE(gone.kind, UpdateStep::Kind::NoMeter);
    QCOMPARE(bench->neighbour->received(), QByteArray());
}

// A release folder stands in for the server: its images are written, and nothing is asked of
// the server for them.
void UpdateRunTest::folderImagesNeedNoServer()
{
    attachMeter();
    openRun();
    bench->server->clearRequests();
    const QByteArray bytes = ReleaseFolder::image(6000, 31);
    QString identifiedAs;
    bench->run->useFolder([&](const QString &hardwareId) {
        identifiedAs = hardwareId;
        return QList<MeterImage>{{QStringLiteral("DOVUr3_firmware"), bytes}};
    });

    QVERIFY(!runTo(meterTty, QStringLiteral("1.0.0")).isFailure());
    QCOMPARE(identifiedAs, QStringLiteral("DOVUr3"));
    QVERIFY(bench->meter->holds(QStringLiteral("DOVUr3_firmware"), bytes));
    QCOMPARE(bench->server->requests(), QStringList());
}

void UpdateRunTest::versionChoice_data()
{
    QTest::addColumn<QStringList>("listed");
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<QString>("chosen"); // empty: refused
    QTest::addColumn<QString>("reason");
    const QStringList listed{"1.0.0", "1.1.0", "1.2.0"};
    QTest::newRow("none named: the newest, as the window preselects")
        << listed << QString() << "1.2.0" << QString();
    QTest::newRow("an older one named") << listed << "1.0.0"
                                        << "1.0.0" << QString();
    QTest::newRow("one not listed") << listed << "7.7.7" << QString()
                                    << "version '7.7.7' is not in the catalogue of branch cust";
    QTest::newRow("nothing listed") << QStringList() << QString() << QString()
                                    << "the catalogue of branch cust lists no version";
}

void UpdateRunTest::versionChoice()
{
    QFETCH(QStringList, listed);
    QFETCH(QString, wanted);
    QFETCH(QString, chosen);
    QFETCH(QString, reason);
    QString version;
    const UpdateStep refused =
        UpdateRun::chooseVersion(listed, wanted, QStringLiteral("cust"), version);
    QCOMPARE(version, chosen);
    QCOMPARE(refused.reason, reason);
    QCOMPARE(refused.isFailure(), chosen.isEmpty());
}

// Scripts learn the reason codes from lumetra-flash's manual: a code that is not listed there is
// one nobody can act on.
void UpdateRunTest::everyReasonIsInTheManual()
{
    QFile manual(QStringLiteral(LUMETRA_MANUAL_PATH));
    QVERIFY(manual.open(QIODevice::ReadOnly));
    // roff writes a hyphen that must not break as "\-".
    const QString text = QString::fromUtf8(manual.readAll()).remove(QLatin1Char('\\'));
    const QList<Reason> reasons = allReasons();
    QVERIFY(reasons.size() > 30);
    for (const Reason reason : reasons) {
        const QString code = reasonCode(reason);
        QVERIFY2(text.contains(QStringLiteral(".B ") + code) ||
                     text.contains(QStringLiteral(".BR ") + code),
                 qPrintable(code));
        QCOMPARE(reasonFromCode(code), std::optional<Reason>(reason));
    }
}

QTEST_GUILESS_MAIN(UpdateRunTest)
#include "tst_updaterun.moc"
