// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// Whole updates through the real window: a simulated meter behind a USB tty that udev (umockdev)
// reports with the meter's ids, and a release server on loopback. The test clicks Update and
// checks what the meter received, what the log says and that the window is ready again.
#include "mainwindow.h"
#include "powermetersimulator.h"
#include "releasefolder.h"
#include "releaseserver.h"
#include "testcertificates.h"
#include "usbtestbed.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTextBlock>
#include <QTextEdit>
#include <QtTest>

#include <functional>
#include <memory>

namespace {
constexpr quint16 meterVendorId = 0x04D8;
constexpr quint16 meterProductId = 0x000A;
const QString meterTty = UsbTestbed::processTtyName();
constexpr int runTimeoutMs = 90000;

const QColor black(0, 0, 0), green(0, 128, 0), orange(255, 165, 0), red(255, 0, 0);

struct Image
{
    QString key;
    QByteArray bytes;
    QString sha256 = {}; // published in the catalogue as "<key>_sha256" unless null
};
using Versions = QList<QPair<QString, QList<Image>>>;

// The common case: one version with one image for the meter.
Versions oneImage(quint32 seed)
{
    return {{QStringLiteral("1.0.0"), {{"DOVUr3_firmware", ReleaseFolder::image(5000, seed)}}}};
}

QString sha256Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QString fileValue(const QString &tag, const QString &key)
{
    return tag + QLatin1Char('-') + key + QStringLiteral(".bin");
}

// A catalogue with one product object; every version maps its firmware keys to file values.
QByteArray catalogue(const Versions &versions)
{
    QJsonArray versionArray;
    for (const auto &[tag, images] : versions) {
        QJsonObject version{{"tag_name", tag}, {"prerelease", "false"}, {"isbeta", "false"}};
        for (const Image &image : images) {
            version.insert(image.key, fileValue(tag, image.key));
            if (!image.sha256.isNull())
                version.insert(image.key + QStringLiteral("_sha256"), image.sha256);
        }
        versionArray.append(version);
    }
    const QJsonObject product{{"product", "Lumetra"}, {"versions", versionArray}};
    return QJsonDocument(QJsonArray{product}).toJson();
}

using LogLine = QPair<QString, QColor>;
} // namespace

Q_DECLARE_METATYPE(ServerFaults)
Q_DECLARE_METATYPE(Versions)

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
        std::unique_ptr<MainWindow> window;
    };

    std::unique_ptr<Bench> bench;
    // Server certificates for "localhost": one from a CA that this process trusts, one from a CA
    // that nobody trusts.
    std::unique_ptr<TestCertificates> trustedCertificates;
    std::unique_ptr<TestCertificates> strangerCertificates;

    void publish(const Versions &versions);
    void attachMeter(const PowerMeterOptions &options = {});
    // The simulated meter never volunteers the line awaited before each image, so tests shorten
    // that wait unless they want the real one. The window talks to the bench's server unless
    // given another.
    void openWindow(int replyLineTimeoutMs = 300, const QString &serverUrl = QString());
    void prepare(const Versions &versions, const PowerMeterOptions &options = {});
    void clickUpdateAndWait();
    // Runs the action once the firmware has been asked for: the click half is over (it processes
    // events too, so a plain timer could fire inside it) and the download runs.
    void onceDownloadRequested(const std::function<void()> &action);
    QList<LogLine> runLog() const; // the lines after the two start-up lines
    QComboBox *versions() const { return bench->window->findChild<QComboBox *>("versionsCombo"); }
    QPushButton *updateButton() const
    {
        return bench->window->findChild<QPushButton *>("updateButton");
    }
    SerialLink &link() const { return bench->window->serialLink; }
    void expectWindowAtRest();
    void expectNothingWritten();

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void goodUpdateFlashesEveryImageInKeyOrder();
    void identifierWithAppFindsTheSameFiles();
    void runEndsBeforeFlashing_data();
    void runEndsBeforeFlashing();
    void productCheckFailsTwiceBeforeFlashing();
    void imageBelow4096BytesIsRefused();
    void firstImageFailsSecondStillFlashed();
    void versionChangedDuringDownloadOnlyRenamesTheRun();
    void manyImagesLeaveNoHoldBehind();
    void httpsServerMustBeTrusted_data();
    void httpsServerMustBeTrusted();
    void windowAnswersThroughTheRun_data();
    void windowAnswersThroughTheRun();
    void runLocksTheWindowUntilItEnds();
};

void UpdateWorkflowTest::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);

    const QString host = QStringLiteral("localhost");
    trustedCertificates = std::make_unique<TestCertificates>(host);
    strangerCertificates = std::make_unique<TestCertificates>(host);
    QVERIFY2(trustedCertificates->isValid(), qPrintable(trustedCertificates->error()));
    QVERIFY2(strangerCertificates->isValid(), qPrintable(strangerCertificates->error()));
    // Only this test process trusts the test CA, beside the system's own.
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.addCaCertificates(trustedCertificates->authority());
    QSslConfiguration::setDefaultConfiguration(tls);
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
    QVERIFY(bench->folder.writeCatalogue(QStringLiteral("cust"), catalogue(versions)));
    for (const auto &[tag, images] : versions) {
        for (const Image &image : images) {
            QVERIFY(bench->folder.writeFile(QStringLiteral("cust"), fileValue(tag, image.key),
                                            image.bytes));
        }
    }
}

void UpdateWorkflowTest::attachMeter(const PowerMeterOptions &options)
{
    QVERIFY(bench->testbed->addSerialDevice(meterTty, meterVendorId, meterProductId));
    bench->meter =
        std::make_unique<PowerMeterSimulator>(bench->testbed->masterFd(meterTty), options);
    bench->meter->start();
}

void UpdateWorkflowTest::openWindow(int replyLineTimeoutMs, const QString &serverUrl)
{
    bench->window =
        std::make_unique<MainWindow>(serverUrl.isEmpty() ? bench->server->baseUrl() : serverUrl);
    bench->window->flasher.replyLineTimeoutMs = replyLineTimeoutMs;
    bench->window->show();
    // The catalogue has been answered once its time-out guard stops.
    QTRY_VERIFY(!bench->window->cloud.jsonTimer.isActive());
}

void UpdateWorkflowTest::prepare(const Versions &versions, const PowerMeterOptions &options)
{
    publish(versions);
    attachMeter(options);
    openWindow();
}

void UpdateWorkflowTest::clickUpdateAndWait()
{
    QTest::mouseClick(updateButton(), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(updateButton()->isEnabled(), runTimeoutMs);
}

void UpdateWorkflowTest::onceDownloadRequested(const std::function<void()> &action)
{
    auto *poll = new QTimer(bench->window.get());
    connect(poll, &QTimer::timeout, this, [this, poll, action] {
        if (bench->server->requests().filter(QStringLiteral("lumetra.php")).isEmpty())
            return;
        poll->stop();
        action();
    });
    poll->start(5);
}

QList<LogLine> UpdateWorkflowTest::runLog() const
{
    QList<LogLine> lines;
    const QTextDocument *log = bench->window->findChild<QTextEdit *>("statusText")->document();
    for (QTextBlock block = log->begin(); block.isValid(); block = block.next())
        lines.append({block.text(), block.begin().fragment().charFormat().foreground().color()});
    return lines.mid(2);
}

void UpdateWorkflowTest::expectWindowAtRest()
{
    QVERIFY(updateButton()->isEnabled());
    QVERIFY(!MainWindow::updateRunning);
    QCOMPARE(link().holdCount, 0);
    QVERIFY(!link().port.isOpen());
}

void UpdateWorkflowTest::expectNothingWritten()
{
    if (!bench->meter)
        return;
    QVERIFY(bench->meter->images().isEmpty());
    QVERIFY(!bench->meter->commands().contains('D'));
    QVERIFY(!bench->meter->resetReceived());
}

void UpdateWorkflowTest::goodUpdateFlashesEveryImageInKeyOrder()
{
    // Published checksums match in either case; the other model's image has none.
    const QByteArray firstBytes = ReleaseFolder::image(40000, 1);
    const QByteArray secondBytes = ReleaseFolder::image(4096, 2);
    const Image first{QStringLiteral("DOVUr3_a_main_firmware"), firstBytes, sha256Of(firstBytes)};
    const Image second{QStringLiteral("DOVUr3_b_radio_firmware"), secondBytes,
                       sha256Of(secondBytes).toUpper()};
    const Image otherModel{QStringLiteral("QX7Lm2_main_firmware"), ReleaseFolder::image(9000, 3)};
    publish({{QStringLiteral("1.0.0"), {first}},
             {QStringLiteral("2.0.0"), {second, otherModel, first}}});
    attachMeter();
    openWindow(FirmwareFlasher().replyLineTimeoutMs); // the full wait, as on a real meter
    QCOMPARE(versions()->currentText(), QStringLiteral("2.0.0"));

    clickUpdateAndWait();

    const QList<LogLine> expected{
        {"Connecting...", green},
        {"Flashing Firmware 2.0.0", orange},
        {"Updating...", green},
        {"Flashing image DOVUr3_a_main_firmware", orange},
        {"Flashing image DOVUr3_b_radio_firmware", orange},
        {"Update complete", green},
    };
    QCOMPARE(runLog(), expected);

    const QList<ReceivedImage> received = bench->meter->images();
    QCOMPARE(received.size(), 2);
    QCOMPARE(received[0].name, first.key);
    QVERIFY(received[0].data == first.bytes);
    QCOMPARE(received[1].name, second.key);
    QVERIFY(received[1].data == second.bytes);
    QVERIFY(bench->meter->protocolErrors().isEmpty());
    QVERIFY(bench->meter->commands().endsWith('R'));

    QCOMPARE(bench->window->findChild<QProgressBar *>("progressBar")->value(), 100);
    expectWindowAtRest();
}

void UpdateWorkflowTest::identifierWithAppFindsTheSameFiles()
{
    const Versions versions = oneImage(4);
    PowerMeterOptions options;
    options.productReply = "DOVUr3App\r\n";
    prepare(versions, options);

    clickUpdateAndWait();

    QCOMPARE(runLog().last(), LogLine("Update complete", green));
    QCOMPARE(bench->meter->images().size(), 1);
    QVERIFY(bench->meter->images().first().data == versions[0].second[0].bytes);
    expectWindowAtRest();
}

namespace {
// Where the meter stands when Update is pressed.
enum class MeterState { Attached, Absent, Unopenable };
} // namespace
Q_DECLARE_METATYPE(MeterState)

// Every way a run can end before anything reaches the meter: one red line after
// "Connecting...", nothing written, and the window ready for the next try.
void UpdateWorkflowTest::runEndsBeforeFlashing_data()
{
    QTest::addColumn<MeterState>("meterState");
    QTest::addColumn<QByteArray>("productReply"); // null: the meter's own; empty: silent
    QTest::addColumn<Versions>("versions");
    QTest::addColumn<ServerFaults>("faults");
    QTest::addColumn<QString>("redLine");

    const QByteArray ownReply;
    const Versions good = oneImage(5);
    const ServerFaults none;
    const QString notFound =
        QStringLiteral("Failed to find Power Meter device, please restart, reconnect, and retry");
    const QString notCompatible =
        QStringLiteral("Compatible product eligable for update not found, Reboot and retry");
    const QString downloadFailed = QStringLiteral("Error: Firmware download failed");
    const QString noFirmware = QStringLiteral("Error: No firmware for this device in this version");

    QTest::newRow("no meter attached")
        << MeterState::Absent << ownReply << good << none << notFound;
    // udev still lists the meter, but its device node cannot be opened.
    QTest::newRow("port never opens") << MeterState::Unopenable << ownReply << good << none
                                      << QStringLiteral("Port failed to open");

    QTest::newRow("marker in lower case")
        << MeterState::Attached << QByteArray("dovur3\r") << good << none << notCompatible;
    QTest::newRow("other product")
        << MeterState::Attached << QByteArray("XMTR22\r") << good << none << notCompatible;
    QTest::newRow("silent meter") << MeterState::Attached << QByteArray("") << good << none
                                  << notCompatible;

    ServerFaults errorPage;
    errorPage.pathContains = QStringLiteral("lumetra.php");
    errorPage.status = 404;
    errorPage.body = QByteArray(6000, 'x'); // big enough to pass for an image
    QTest::newRow("error page larger than an image")
        << MeterState::Attached << ownReply << good << errorPage << downloadFailed;
    ServerFaults serverError = errorPage;
    serverError.status = 500;
    serverError.body.clear();
    QTest::newRow("server error without body")
        << MeterState::Attached << ownReply << good << serverError << downloadFailed;
    ServerFaults emptyBody;
    emptyBody.pathContains = QStringLiteral("lumetra.php");
    emptyBody.truncateTo = 0;
    QTest::newRow("empty body") << MeterState::Attached << ownReply << good << emptyBody
                                << downloadFailed;

    // A published checksum that does not fit the bytes fails the download before anything is
    // written, even when it is the other image that carries it.
    const QByteArray bytes = ReleaseFolder::image(5000, 16);
    const QString otherSha256 = sha256Of(ReleaseFolder::image(5000, 17));
    QTest::newRow("checksum of other bytes")
        << MeterState::Attached << ownReply
        << Versions{{"1.0.0", {{"DOVUr3_firmware", bytes, otherSha256}}}} << none << downloadFailed;
    // The right digest written as a fingerprint: a lenient reading would let it pass.
    QString withColons = sha256Of(bytes);
    for (qsizetype i = withColons.size() - 2; i > 0; i -= 2)
        withColons.insert(i, QLatin1Char(':'));
    QTest::newRow("checksum not 64 hex digits")
        << MeterState::Attached << ownReply
        << Versions{{"1.0.0", {{"DOVUr3_firmware", bytes, withColons}}}} << none << downloadFailed;
    QTest::newRow("wrong checksum on the second of two images")
        << MeterState::Attached << ownReply
        << Versions{{"1.0.0",
                     {{"DOVUr3_a_firmware", bytes}, {"DOVUr3_b_firmware", bytes, otherSha256}}}}
        << none << downloadFailed;

    const Versions otherModel{
        {QStringLiteral("1.0.0"), {{"QX7Lm2_firmware", ReleaseFolder::image(5000, 15)}}}};
    QTest::newRow("only another model's firmware")
        << MeterState::Attached << ownReply << otherModel << none << noFirmware;
    QTest::newRow("no versions at all")
        << MeterState::Attached << ownReply << Versions{} << none << noFirmware;
}

void UpdateWorkflowTest::runEndsBeforeFlashing()
{
    QFETCH(MeterState, meterState);
    QFETCH(QByteArray, productReply);
    QFETCH(Versions, versions);
    QFETCH(ServerFaults, faults);
    QFETCH(QString, redLine);

    publish(versions);
    if (meterState == MeterState::Attached) {
        PowerMeterOptions options;
        if (!productReply.isNull())
            options.productReply = productReply;
        if (productReply.isEmpty() && !productReply.isNull())
            options.fault = PowerMeterOptions::Fault::Silent;
        attachMeter(options);
    } else if (meterState == MeterState::Unopenable) {
        QVERIFY(bench->testbed->addSerialDevice(meterTty, meterVendorId, meterProductId));
        QVERIFY(QFile::remove(qEnvironmentVariable("UMOCKDEV_DIR") + QStringLiteral("/dev/") +
                              meterTty));
    }
    openWindow();
    bench->window->session.acquireRetryPauseMs = 10;
    bench->server->clearRequests();
    bench->server->setFaults(faults);

    clickUpdateAndWait();

    QCOMPARE(runLog(), (QList<LogLine>{{"Connecting...", green}, {redLine, red}}));
    expectNothingWritten();
    expectWindowAtRest();
    // Firmware is asked for only from a meter that was opened and identified itself.
    if (redLine != QLatin1String("Error: Firmware download failed")) {
        for (const QString &request : bench->server->requests())
            QVERIFY2(!request.contains(QLatin1String("lumetra.php")), qPrintable(request));
    }

    // The user can retry at once, and the run takes the same road.
    if (meterState == MeterState::Absent) {
        clickUpdateAndWait();
        QCOMPARE(runLog().size(), 4);
        QCOMPARE(runLog().last(), LogLine(redLine, red));
    }
}

void UpdateWorkflowTest::productCheckFailsTwiceBeforeFlashing()
{
    prepare(oneImage(7));
    // The meter identifies itself at the click, then answers as another product while the
    // firmware downloads.
    ServerFaults slowDownload;
    slowDownload.pathContains = QStringLiteral("lumetra.php");
    slowDownload.delayMs = 300;
    bench->server->setFaults(slowDownload);
    onceDownloadRequested([this] { bench->meter->setProductReply("dovur3\r"); });

    clickUpdateAndWait();

    const QList<LogLine> expected{
        {"Connecting...", green},
        {"Flashing Firmware 1.0.0", orange},
        {"Compatible product eligable for update not found, Reboot and retry", red}};
    QCOMPARE(runLog(), expected);
    QCOMPARE(bench->meter->productQueries(), 3); // one at the click, two checks
    expectNothingWritten();
    expectWindowAtRest();
}

void UpdateWorkflowTest::imageBelow4096BytesIsRefused()
{
    const Image tooShort{QStringLiteral("DOVUr3_a_firmware"), ReleaseFolder::image(4095, 8)};
    const Image justEnough{QStringLiteral("DOVUr3_b_firmware"), ReleaseFolder::image(4096, 9)};
    prepare({{QStringLiteral("1.0.0"), {tooShort, justEnough}}});

    clickUpdateAndWait();

    const QList<LogLine> expected{{"Connecting...", green},
                                  {"Flashing Firmware 1.0.0", orange},
                                  {"Updating...", green},
                                  {"Error: Firmware image missing from server", red},
                                  {"Flashing image DOVUr3_b_firmware", orange},
                                  {"ERROR: Update failed", red}};
    QCOMPARE(runLog(), expected);
    QCOMPARE(bench->meter->images().size(), 1);
    QVERIFY(bench->meter->images().first().data == justEnough.bytes);
    QVERIFY(bench->meter->resetReceived());
    expectWindowAtRest();
}

void UpdateWorkflowTest::firstImageFailsSecondStillFlashed()
{
    const Image first{QStringLiteral("DOVUr3_a_firmware"), ReleaseFolder::image(8192, 10)};
    const Image second{QStringLiteral("DOVUr3_b_firmware"), ReleaseFolder::image(6000, 11)};
    PowerMeterOptions options;
    options.fault = PowerMeterOptions::Fault::CancelAtBlock;
    options.faultBlock = 5;
    options.faultImage = 0;
    prepare({{QStringLiteral("1.0.0"), {first, second}}}, options);

    clickUpdateAndWait();

    const QList<LogLine> expected{{"Connecting...", green},
                                  {"Flashing Firmware 1.0.0", orange},
                                  {"Updating...", green},
                                  {"Flashing image DOVUr3_a_firmware", orange},
                                  {"Flashing image DOVUr3_b_firmware", orange},
                                  {"ERROR: Update failed", red}};
    QCOMPARE(runLog(), expected);
    const QList<ReceivedImage> received = bench->meter->images();
    QCOMPARE(received.size(), 1);
    QCOMPARE(received.first().name, second.key);
    QVERIFY(received.first().data == second.bytes);
    QVERIFY(bench->meter->commands().endsWith('R'));
    expectWindowAtRest();
}

void UpdateWorkflowTest::versionChangedDuringDownloadOnlyRenamesTheRun()
{
    const Image chosen{QStringLiteral("DOVUr3_firmware"), ReleaseFolder::image(5000, 12)};
    const Image other{QStringLiteral("DOVUr3_firmware"), ReleaseFolder::image(5000, 13)};
    prepare({{QStringLiteral("1.0.0"), {other}}, {QStringLiteral("2.0.0"), {chosen}}});
    QCOMPARE(versions()->currentText(), QStringLiteral("2.0.0"));

    ServerFaults slowDownload;
    slowDownload.pathContains = QStringLiteral("lumetra.php");
    slowDownload.delayMs = 1000;
    bench->server->setFaults(slowDownload);
    onceDownloadRequested([this] { versions()->setCurrentIndex(0); });

    clickUpdateAndWait();

    QCOMPARE(runLog()[1], LogLine("Flashing Firmware 1.0.0", orange));
    QCOMPARE(runLog().last(), LogLine("Update complete", green));
    QCOMPARE(bench->meter->images().size(), 1);
    QVERIFY(bench->meter->images().first().data == chosen.bytes);
}

void UpdateWorkflowTest::manyImagesLeaveNoHoldBehind()
{
    // Each flashed image leaves a hold on the link; five of them outnumber the releases the
    // run would make by count alone.
    QList<Image> images;
    for (int i = 0; i < 5; ++i)
        images.append(
            {QStringLiteral("DOVUr3_%1_firmware").arg(i), ReleaseFolder::image(4096, 20 + i)});
    prepare({{QStringLiteral("1.0.0"), images}});

    clickUpdateAndWait();

    QCOMPARE(runLog().last(), LogLine("Update complete", green));
    QCOMPARE(bench->meter->images().size(), 5);
    expectWindowAtRest();
}

// Over HTTPS the catalogue and the images come only from a server whose certificate is trusted
// for the name asked for; a certificate problem, or a redirect down to plain http, ends like any
// other failed request: the list stays empty, the download fails, nothing reaches the meter.
void UpdateWorkflowTest::httpsServerMustBeTrusted_data()
{
    QTest::addColumn<bool>("trustedIssuer");
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("redirectToHttp"); // of the image only
    QTest::addColumn<QString>("lastLine");

    const QString failed = QStringLiteral("Error: Firmware download failed");
    QTest::newRow("trusted certificate for the name")
        << true << "localhost" << false << "Update complete";
    QTest::newRow("certificate from an unknown CA") << false << "localhost" << false << failed;
    QTest::newRow("name not in the certificate") << true << "127.0.0.1" << false << failed;
    QTest::newRow("image redirected to http") << true << "localhost" << true << failed;
}

void UpdateWorkflowTest::httpsServerMustBeTrusted()
{
    QFETCH(bool, trustedIssuer);
    QFETCH(QString, host);
    QFETCH(bool, redirectToHttp);
    QFETCH(QString, lastLine);
    const bool certificateAccepted = trustedIssuer && host == QLatin1String("localhost");

    const Versions release = oneImage(30);
    publish(release);
    attachMeter();
    const TestCertificates &certificates =
        trustedIssuer ? *trustedCertificates : *strangerCertificates;
    ReleaseServer httpsServer(bench->folder.path());
    QVERIFY(httpsServer.useTls(certificates.serverCertificateFile(), certificates.serverKeyFile()));
    QVERIFY(httpsServer.start() != 0);
    const QString httpsUrl = httpsServer.baseUrl(host);
    if (redirectToHttp) {
        ServerFaults redirect;
        redirect.pathContains = QStringLiteral("lumetra.php");
        redirect.redirectTo = bench->server->baseUrl() +
                              QStringLiteral("/cust/lumetra.php?version=") +
                              fileValue(release[0].first, release[0].second[0].key);
        httpsServer.setFaults(redirect);
    }

    openWindow(300, httpsUrl);
    QCOMPARE(versions()->count(), certificateAccepted ? 1 : 0);
    if (!certificateAccepted) {
        // The download must be tried all the same: the list comes over plain http this once.
        NVKCloudInterface &cloud = bench->window->cloud;
        cloud.serverUrl = bench->server->baseUrl();
        cloud.requestVersions(QStringLiteral("cust"), false);
        QTRY_VERIFY(!cloud.jsonTimer.isActive());
        cloud.serverUrl = httpsUrl;
    }

    clickUpdateAndWait();

    const bool flashed = lastLine == QLatin1String("Update complete");
    QCOMPARE(runLog().last(), LogLine(lastLine, flashed ? green : red));
    if (flashed) {
        QCOMPARE(bench->meter->images().size(), 1);
        QVERIFY(bench->meter->images().first().data == release[0].second[0].bytes);
    } else {
        QCOMPARE(runLog().size(), 2);
        expectNothingWritten();
    }
    expectWindowAtRest();
}

// Serial waits block the window's thread for seconds (the 6 s line wait, three 3 s ACK waits of
// a meter that fell silent, the drains and product queries of one that never stops printing):
// a timer ticking every 20 ms must still be served, and every faulty meter ends in a red line.
void UpdateWorkflowTest::windowAnswersThroughTheRun_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("replyLineTimeoutMs");
    QTest::addColumn<LogLine>("lastLine");

    QTest::newRow("good update, real line wait")
        << int(PowerMeterOptions::Fault::None) << FirmwareFlasher().replyLineTimeoutMs
        << LogLine("Update complete", green);
    QTest::newRow("meter falls silent after block 19")
        << int(PowerMeterOptions::Fault::DisappearAfterBlock) << 300
        << LogLine("ERROR: Update failed", red);
    QTest::newRow("meter prints without pause after identifying itself")
        << int(PowerMeterOptions::Fault::Chatter) << 300
        << LogLine("Compatible product eligable for update not found, Reboot and retry", red);
}

void UpdateWorkflowTest::windowAnswersThroughTheRun()
{
    QFETCH(int, fault);
    QFETCH(int, replyLineTimeoutMs);
    QFETCH(LogLine, lastLine);
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
    clickUpdateAndWait();
    ticker.stop();

    QVERIFY2(longestGapMs < 250, qPrintable(QString::number(longestGapMs)));
    QCOMPARE(runLog().last(), lastLine);
    if (lastLine.second == red) {
        QVERIFY(bench->meter->images().isEmpty());
        QVERIFY(!runLog().contains(LogLine("Update complete", green)));
    } else {
        QVERIFY(bench->meter->images().constFirst().data == versions[0].second[0].bytes);
    }
    expectWindowAtRest();
}

// Nothing the user does mid-run may start, change or stall it: the controls are off, a close
// request is refused with one line however often it comes, and all is given back at the end.
void UpdateWorkflowTest::runLocksTheWindowUntilItEnds()
{
    prepare(oneImage(32));
    MainWindow *window = bench->window.get();
    auto *betas = window->findChild<QCheckBox *>("showBetaCheckBox");
    betas->setEnabled(false); // off before the run, so off after it
    const QList<QWidget *> unlocked{window->findChild<QPushButton *>("branchButton"), versions(),
                                    window->findChild<QComboBox *>("serialPortCombo")};
    bool probed = false;
    connect(&window->flasher, &FirmwareFlasher::progress_update, this, [&](int percent) {
        if (probed || percent < 50)
            return;
        probed = true;
        for (QWidget *control : unlocked)
            QVERIFY2(!control->isEnabled(), qPrintable(control->objectName()));
        QVERIFY(!window->close());
        QVERIFY(!window->close());
        QVERIFY(window->isVisible());
    });

    clickUpdateAndWait();

    QVERIFY(probed);
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

QTEST_MAIN(UpdateWorkflowTest)
#include "tst_updateworkflow.moc"
