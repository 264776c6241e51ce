// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// Firmware download: which files a version offers a device, fetching them, and every way a file
// can fail, against the local release server.
#include "nvkcloudinterface.h"
#include "releasefolder.h"
#include "releaseserver.h"

#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

namespace {

const QString defaultBranch = QStringLiteral("cust");
const QString customBranch = QStringLiteral("labs/rf-team");
const QString mainKey = QStringLiteral("DOVUr3_main_firmware");
const QString bootKey = QStringLiteral("DOVUr3_boot_firmware");

// Versions of the standard branch:
//   1.0  one file each for DOVUr3 and QX7Lm2
//   2.0  two files for DOVUr3 (boot, main), one that is no firmware key, one of a shorter id
//   3.0  one file for DOVUr3 that the server does not have
//   4.0  a boot file the server does not have beside a main file it has
//   5.0  keys that look like firmware keys but are not
const QByteArray standardCatalogue = R"([{"product": "Lumetra", "versions": [
    {"tag_name": "1.0", "prerelease": "false", "isbeta": "false",
     "DOVUr3_main_firmware": "dov-main-1.0.bin", "QX7Lm2_main_firmware": "qx7-main-1.0.bin"},
    {"tag_name": "2.0", "prerelease": "false", "isbeta": "false",
     "DOVUr3_main_firmware": "dov-main-2.0.bin", "DOVUr3_boot_firmware": "dov-boot-2.0.bin",
     "DOVUr3_notes": "notes.txt", "DOVUr_main_firmware": "wrong.bin"},
    {"tag_name": "3.0", "DOVUr3_main_firmware": "gone.bin"},
    {"tag_name": "4.0", "DOVUr3_boot_firmware": "gone-boot.bin",
     "DOVUr3_main_firmware": "dov-main-4.0.bin"},
    {"tag_name": "5.0", "DOVUr3_main_Firmware": "a.bin", "dovur3_main_firmware": "b.bin",
     "DOVUr3_firmware_notes": "c.bin"}]}])";

// The custom branch offers 1.0 too, under other file names.
const QByteArray customCatalogue = R"([{"product": "Lumetra", "versions": [
    {"tag_name": "1.0", "DOVUr3_main_firmware": "labs-main-1.0.bin"}]}])";

QString refusingServerUrl()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const quint16 port = probe.serverPort();
    probe.close();
    return QStringLiteral("http://127.0.0.1:") + QString::number(port);
}

QString download(const QString &branch, const QString &value)
{
    return QLatin1Char('/') + branch + QStringLiteral("/lumetra.php?version=") + value;
}

} // namespace

// Waits until the client has read the catalogue of its latest request.
#define WAIT_FOR_CATALOGUE(cloud) QTRY_VERIFY_WITH_TIMEOUT(!(cloud).jsonTimer.isActive(), 5000)

class TestFirmwareDownload : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void selectsFirmwareKeys_data();
    void selectsFirmwareKeys();
    void downloadsFilesOfVersion_data();
    void downloadsFilesOfVersion();
    void finishesOnlyAfterEveryBody_data();
    void finishesOnlyAfterEveryBody();
    void usesBranchOfLatestCatalogue_data();
    void usesBranchOfLatestCatalogue();
    void acceptsRedirectedOrShortImage_data();
    void acceptsRedirectedOrShortImage();

    void failedFileEndsDownload_data();
    void failedFileEndsDownload();
    void failureStopsOtherFiles();
    void newRequestSupersedesDownload();
    void versionWithoutFirmwareRequestsNothing();

private:
    QByteArray served(const QString &value) const { return images.value(value); }

    std::unique_ptr<ReleaseFolder> folder;
    std::unique_ptr<ReleaseServer> server;
    std::unique_ptr<NVKCloudInterface> cloud;
    QMap<QString, QByteArray> images; // file name -> bytes on the server
};

void TestFirmwareDownload::init()
{
    folder = std::make_unique<ReleaseFolder>();
    QVERIFY(folder->writeCatalogue(defaultBranch, standardCatalogue));
    QVERIFY(folder->writeCatalogue(customBranch, customCatalogue));
    const QList<QPair<QString, qsizetype>> files{
        {"dov-main-1.0.bin", 20000}, {"qx7-main-1.0.bin", 12000},  {"dov-main-2.0.bin", 24000},
        {"dov-boot-2.0.bin", 9000},  {"dov-main-4.0.bin", 5000},   {"moved.bin", 7000},
        {"wrong.bin", 4096},         {"labs-main-1.0.bin", 16000},
    };
    images.clear();
    quint32 seed = 1;
    for (const auto &file : files) {
        const QString branch = file.first.startsWith("labs") ? customBranch : defaultBranch;
        images.insert(file.first, ReleaseFolder::image(file.second, seed++));
        QVERIFY(folder->writeFile(branch, file.first, images.value(file.first)));
    }

    server = std::make_unique<ReleaseServer>(folder->path());
    QVERIFY(server->start() != 0);
    cloud = std::make_unique<NVKCloudInterface>(server->baseUrl());
    cloud->downloadTimeoutMs = 5000;
    cloud->requestVersions(defaultBranch, false);
    WAIT_FOR_CATALOGUE(*cloud);
    QCOMPARE(cloud->versionList.size(), 5);
    server->clearRequests();
}

void TestFirmwareDownload::selectsFirmwareKeys_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("hardwareId");
    QTest::addColumn<QStringList>("keys");

    QTest::newRow("one key for this identifier among two") << "1.0"
                                                           << "DOVUr3" << QStringList{mainKey};
    QTest::newRow("the other identifier's key") << "1.0"
                                                << "QX7Lm2" << QStringList{"QX7Lm2_main_firmware"};
    QTest::newRow("App before the identifier") << "1.0"
                                               << "AppDOVUr3" << QStringList{mainKey};
    QTest::newRow("App inside the identifier") << "1.0"
                                               << "DOVAppUr3" << QStringList{mainKey};
    QTest::newRow("App after the identifier") << "1.0"
                                              << "DOVUr3App" << QStringList{mainKey};
    QTest::newRow("App twice") << "1.0"
                               << "AppDOVAppUr3" << QStringList{mainKey};
    QTest::newRow("two keys in key order, others passed over")
        << "2.0"
        << "DOVUr3" << QStringList{bootKey, mainKey};
    QTest::newRow("lower-case identifier") << "1.0"
                                           << "dovur3" << QStringList();
    QTest::newRow("lower-case app is kept") << "1.0"
                                            << "appDOVUr3" << QStringList();
    QTest::newRow("five characters") << "1.0"
                                     << "DOVUr" << QStringList();
    QTest::newRow("seven characters") << "2.0"
                                      << "DOVUr3x" << QStringList();
    QTest::newRow("empty identifier") << "1.0"
                                      << "" << QStringList();
    QTest::newRow("keys that only resemble firmware keys") << "5.0"
                                                           << "DOVUr3" << QStringList();
    QTest::newRow("version not in the catalogue") << "9.9"
                                                  << "DOVUr3" << QStringList();
    QTest::newRow("empty version") << ""
                                   << "DOVUr3" << QStringList();
}

void TestFirmwareDownload::selectsFirmwareKeys()
{
    QFETCH(QString, version);
    QFETCH(QString, hardwareId);
    QFETCH(QStringList, keys);
    const QString callersId = hardwareId;
    QCOMPARE(cloud->firmwareKeys(version, hardwareId), keys);
    QCOMPARE(hardwareId, callersId);
}

void TestFirmwareDownload::downloadsFilesOfVersion_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("hardwareId");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QStringList>("values");

    QTest::newRow("one request, for this identifier's value")
        << "1.0"
        << "DOVUr3" << QStringList{mainKey} << QStringList{"dov-main-1.0.bin"};
    QTest::newRow("identifier with App fetches the same file")
        << "1.0"
        << "DOVUr3App" << QStringList{mainKey} << QStringList{"dov-main-1.0.bin"};
    QTest::newRow("two files in key order") << "2.0"
                                            << "DOVUr3" << QStringList{bootKey, mainKey}
                                            << QStringList{"dov-boot-2.0.bin", "dov-main-2.0.bin"};
}

void TestFirmwareDownload::downloadsFilesOfVersion()
{
    QFETCH(QString, version);
    QFETCH(QString, hardwareId);
    QFETCH(QStringList, keys);
    QFETCH(QStringList, values);

    QSignalSpy finished(cloud.get(), &NVKCloudInterface::firmware_download_finished);
    QSignalSpy failed(cloud.get(), &NVKCloudInterface::firmware_download_failed);
    cloud->requestFirmware(version, hardwareId);

    // The entries exist, empty, as soon as the call returns.
    QCOMPARE(cloud->firmwareFiles.size(), keys.size());
    for (qsizetype i = 0; i < keys.size(); ++i) {
        QCOMPARE(cloud->firmwareFiles.at(i).name, keys.at(i));
        QCOMPARE(cloud->firmwareFiles.at(i).url,
                 QUrl(server->baseUrl() + download(defaultBranch, values.at(i))));
        QVERIFY(cloud->firmwareFiles.at(i).image.isEmpty());
    }

    QVERIFY(finished.wait(5000));
    for (qsizetype i = 0; i < keys.size(); ++i)
        QCOMPARE(cloud->firmwareFiles.at(i).image, served(values.at(i)));

    QStringList expectedRequests;
    for (const QString &value : std::as_const(values))
        expectedRequests.append(download(defaultBranch, value));
    QStringList requests = server->requests();
    requests.sort(); // issued together, so they may arrive in either order
    QCOMPARE(requests, expectedRequests);

    QVERIFY(!finished.wait(300));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(failed.count(), 0);
    QTRY_COMPARE(cloud->findChildren<QNetworkReply *>().size(), 0);
}

void TestFirmwareDownload::finishesOnlyAfterEveryBody_data()
{
    QTest::addColumn<QString>("slowFile");
    QTest::newRow("first key's file arrives last") << "dov-boot-2.0.bin";
    QTest::newRow("second key's file arrives last") << "dov-main-2.0.bin";
}

void TestFirmwareDownload::finishesOnlyAfterEveryBody()
{
    QFETCH(QString, slowFile);
    ServerFaults faults;
    faults.pathContains = slowFile;
    faults.delayMs = 300;
    server->setFaults(faults);

    // What the window would find in the list at the moment the signal reaches it.
    QList<QByteArray> imagesAtSignal;
    connect(cloud.get(), &NVKCloudInterface::firmware_download_finished, this, [&] {
        for (const FirmwareFile &file : std::as_const(cloud->firmwareFiles))
            imagesAtSignal.append(file.image);
    });
    QSignalSpy finished(cloud.get(), &NVKCloudInterface::firmware_download_finished);
    cloud->requestFirmware("2.0", "DOVUr3");

    QVERIFY(finished.wait(5000));
    QCOMPARE(imagesAtSignal,
             (QList<QByteArray>{served("dov-boot-2.0.bin"), served("dov-main-2.0.bin")}));
    QVERIFY(!finished.wait(300));
    QCOMPARE(finished.count(), 1);
}

void TestFirmwareDownload::usesBranchOfLatestCatalogue_data()
{
    QTest::addColumn<QStringList>("catalogueRequests");
    QTest::addColumn<QString>("expectedRequest");

    QTest::newRow("no catalogue request: standard branch")
        << QStringList() << download(defaultBranch, "dov-main-1.0.bin");
    QTest::newRow("custom branch")
        << QStringList{customBranch} << download(customBranch, "labs-main-1.0.bin");
    QTest::newRow("latest of two requests")
        << QStringList{customBranch, defaultBranch} << download(defaultBranch, "dov-main-1.0.bin");
}

void TestFirmwareDownload::usesBranchOfLatestCatalogue()
{
    QFETCH(QStringList, catalogueRequests);
    QFETCH(QString, expectedRequest);

    NVKCloudInterface fresh(server->baseUrl());
    if (catalogueRequests.isEmpty()) {
        // A catalogue entry as if read from the standard branch, without any request.
        fresh.versionTable.insert("1.0", {{"tag_name", "1.0"}, {mainKey, "dov-main-1.0.bin"}});
    }
    for (const QString &branch : std::as_const(catalogueRequests)) {
        fresh.requestVersions(branch, false);
        WAIT_FOR_CATALOGUE(fresh);
    }
    server->clearRequests();

    QSignalSpy finished(&fresh, &NVKCloudInterface::firmware_download_finished);
    fresh.requestFirmware("1.0", "DOVUr3");
    QVERIFY(finished.wait(5000));
    QCOMPARE(server->requests(), QStringList{expectedRequest});
}

void TestFirmwareDownload::acceptsRedirectedOrShortImage_data()
{
    QTest::addColumn<QString>("redirectTo"); // "{base}" stands for the server's base URL
    QTest::addColumn<qint64>("truncateTo");
    QTest::addColumn<QByteArray>("image");

    QTest::newRow("redirect to a path is followed")
        << download(defaultBranch, "moved.bin") << qint64(-1) << served("moved.bin");
    QTest::newRow("redirect to an absolute URL is followed")
        << "{base}" + download(defaultBranch, "moved.bin") << qint64(-1) << served("moved.bin");
    // Whether a short image can be flashed is the window's decision (it refuses < 4096 bytes).
    QTest::newRow("short body with 200 is an image")
        << QString() << qint64(100) << served("dov-main-1.0.bin").left(100);
}

void TestFirmwareDownload::acceptsRedirectedOrShortImage()
{
    QFETCH(QString, redirectTo);
    QFETCH(qint64, truncateTo);
    QFETCH(QByteArray, image);
    ServerFaults faults;
    faults.pathContains = QStringLiteral("dov-main-1.0.bin");
    faults.redirectTo = QString(redirectTo).replace("{base}", server->baseUrl());
    faults.truncateTo = truncateTo;
    server->setFaults(faults);

    QSignalSpy finished(cloud.get(), &NVKCloudInterface::firmware_download_finished);
    QSignalSpy failed(cloud.get(), &NVKCloudInterface::firmware_download_failed);
    cloud->requestFirmware("1.0", "DOVUr3");
    QVERIFY(finished.wait(5000));

    QCOMPARE(cloud->firmwareFiles.size(), 1);
    QCOMPARE(cloud->firmwareFiles.first().name, mainKey);
    QCOMPARE(cloud->firmwareFiles.first().image, image);
    // The entry keeps the URL it asked for, wherever the answer came from.
    QCOMPARE(cloud->firmwareFiles.first().url,
             QUrl(server->baseUrl() + download(defaultBranch, "dov-main-1.0.bin")));
    QCOMPARE(failed.count(), 0);
}

void TestFirmwareDownload::failedFileEndsDownload_data()
{
    QTest::addColumn<QString>("serverKind");
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<qint64>("truncateTo");
    QTest::addColumn<bool>("neverAnswer");

    const QByteArray page = "<html><body>Not found</body></html>";
    QTest::newRow("connection refused") << "refused"
                                        << "1.0" << 0 << QByteArray() << qint64(-1) << false;
    QTest::newRow("name not resolved") << "unresolved"
                                       << "1.0" << 0 << QByteArray() << qint64(-1) << false;
    QTest::newRow("404 with a body") << "local"
                                     << "1.0" << 404 << page << qint64(-1) << false;
    QTest::newRow("404 without a body") << "local"
                                        << "1.0" << 404 << QByteArray() << qint64(-1) << false;
    QTest::newRow("file missing on the server")
        << "local"
        << "3.0" << 0 << QByteArray() << qint64(-1) << false;
    // Large enough to pass for an image: it must never reach the device.
    QTest::newRow("500 with an error page of 8 KiB")
        << "local"
        << "1.0" << 500 << QByteArray(8192, 'E') << qint64(-1) << false;
    QTest::newRow("503 with an empty body") << "local"
                                            << "1.0" << 503 << QByteArray() << qint64(-1) << false;
    QTest::newRow("200 with an empty body") << "local"
                                            << "1.0" << 0 << QByteArray() << qint64(0) << false;
    QTest::newRow("no data within the time limit")
        << "local"
        << "1.0" << 0 << QByteArray() << qint64(-1) << true;
}

void TestFirmwareDownload::failedFileEndsDownload()
{
    QFETCH(QString, serverKind);
    QFETCH(QString, version);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(qint64, truncateTo);
    QFETCH(bool, neverAnswer);
    ServerFaults faults;
    faults.status = status;
    faults.body = body;
    faults.truncateTo = truncateTo;
    faults.neverAnswer = neverAnswer;
    server->setFaults(faults);

    // The catalogue came from the local server; the download may go elsewhere.
    if (serverKind == "refused")
        cloud->serverUrl = refusingServerUrl();
    else if (serverKind == "unresolved")
        cloud->serverUrl = QStringLiteral("http://release.invalid");
    cloud->downloadTimeoutMs = 300;

    QSignalSpy finished(cloud.get(), &NVKCloudInterface::firmware_download_finished);
    QSignalSpy failed(cloud.get(), &NVKCloudInterface::firmware_download_failed);
    cloud->requestFirmware(version, "DOVUr3");
    QCOMPARE(cloud->firmwareFiles.size(), 1);

    QVERIFY(failed.wait(5000));
    QCOMPARE(failed.first().first().toString(), mainKey);
    QVERIFY(cloud->firmwareFiles.first().image.isEmpty());
    QVERIFY(!failed.wait(500));
    QCOMPARE(failed.count(), 1);
    QCOMPARE(finished.count(), 0);
    QTRY_COMPARE(cloud->findChildren<QNetworkReply *>().size(), 0);
}

void TestFirmwareDownload::failureStopsOtherFiles()
{
    // Version 4.0: the boot file is missing (404 at once), the main file is slow but fine.
    ServerFaults faults;
    faults.pathContains = QStringLiteral("dov-main-4.0.bin");
    faults.delayMs = 300;
    server->setFaults(faults);

    QSignalSpy finished(cloud.get(), &NVKCloudInterface::firmware_download_finished);
    QSignalSpy failed(cloud.get(), &NVKCloudInterface::firmware_download_failed);
    cloud->requestFirmware("4.0", "DOVUr3");
    QCOMPARE(cloud->firmwareFiles.size(), 2);

    QVERIFY(failed.wait(5000));
    QCOMPARE(failed.first().first().toString(), bootKey);
    // The main file's answer would have come by now; it neither signals nor fills its entry.
    QVERIFY(!finished.wait(700));
    QCOMPARE(failed.count(), 1);
    QVERIFY(cloud->firmwareFiles.at(0).image.isEmpty());
    QVERIFY(cloud->firmwareFiles.at(1).image.isEmpty());
    QTRY_COMPARE(cloud->findChildren<QNetworkReply *>().size(), 0);
}

void TestFirmwareDownload::newRequestSupersedesDownload()
{
    ServerFaults faults;
    faults.pathContains = QStringLiteral("qx7-main-1.0.bin");
    faults.delayMs = 300;
    server->setFaults(faults);

    QSignalSpy finished(cloud.get(), &NVKCloudInterface::firmware_download_finished);
    QSignalSpy failed(cloud.get(), &NVKCloudInterface::firmware_download_failed);
    cloud->requestFirmware("1.0", "QX7Lm2");
    cloud->requestFirmware("1.0", "DOVUr3");

    QVERIFY(finished.wait(5000));
    QVERIFY(!finished.wait(700)); // well past the first download's answer
    QCOMPARE(finished.count(), 1);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(cloud->firmwareFiles.size(), 1);
    QCOMPARE(cloud->firmwareFiles.first().name, mainKey);
    QCOMPARE(cloud->firmwareFiles.first().image, served("dov-main-1.0.bin"));
}

void TestFirmwareDownload::versionWithoutFirmwareRequestsNothing()
{
    QSignalSpy finished(cloud.get(), &NVKCloudInterface::firmware_download_finished);
    QSignalSpy failed(cloud.get(), &NVKCloudInterface::firmware_download_failed);
    cloud->requestFirmware("1.0", "DOVUr3");
    QVERIFY(finished.wait(5000));
    QCOMPARE(cloud->firmwareFiles.size(), 1);
    server->clearRequests();

    // The window sees the empty list at once and reports it; the client says nothing.
    cloud->requestFirmware("1.0", "ZZZZZZ");
    QVERIFY(cloud->firmwareFiles.isEmpty());
    QVERIFY(!finished.wait(300));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(failed.count(), 0);
    QVERIFY(server->requests().isEmpty());
}

QTEST_GUILESS_MAIN(TestFirmwareDownload)
#include "tst_firmwaredownload.moc"
