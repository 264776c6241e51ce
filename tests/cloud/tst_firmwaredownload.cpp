// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// Firmware download: which files a version offers a device, fetching them, and every way a file
// can fail, against the local release server.
#include "nvkcloudinterface.h"
#include "releasefolder.h"
#include "releaseserver.h"

#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(ServerFaults)

namespace {

const QString defaultBranch = QStringLiteral("cust");
const QString customBranch = QStringLiteral("labs/rf-team");
const QString mainKey = QStringLiteral("DOVUr3_main_firmware");
const QString bootKey = QStringLiteral("DOVUr3_boot_firmware");

// Versions of the standard branch:
//   1.0  one file each for DOVUr3 and QX7Lm2
//   2.0  two files for DOVUr3 (boot, main), one that is no firmware key, one of a shorter id
//   4.0  a boot file the server does not have beside a main file it has
//   5.0  keys that look like firmware keys but are not
const QByteArray standardCatalogue = R"([{"product": "Lumetra", "versions": [
    {"tag_name": "1.0", "DOVUr3_main_firmware": "dov-main-1.0.bin",
     "QX7Lm2_main_firmware": "qx7-main-1.0.bin"},
    {"tag_name": "2.0", "DOVUr3_main_firmware": "dov-main-2.0.bin",
     "DOVUr3_boot_firmware": "dov-boot-2.0.bin", "DOVUr3_notes": "notes.txt",
     "DOVUr_main_firmware": "wrong.bin"},
    {"tag_name": "4.0", "DOVUr3_boot_firmware": "gone-boot.bin",
     "DOVUr3_main_firmware": "dov-main-4.0.bin"},
    {"tag_name": "5.0", "DOVUr3_main_Firmware": "a.bin", "dovur3_main_firmware": "b.bin",
     "DOVUr3_firmware_notes": "c.bin"}]}])";
// The custom branch offers 1.0 too, under another file name.
const QByteArray customCatalogue = R"([{"product": "Lumetra", "versions": [
    {"tag_name": "1.0", "DOVUr3_main_firmware": "labs-main-1.0.bin"}]}])";

// The files on the server and their sizes; those of the custom branch start with "labs".
const QMap<QString, qsizetype> serverFiles{
    {"dov-main-1.0.bin", 20000}, {"qx7-main-1.0.bin", 12000}, {"dov-main-2.0.bin", 24000},
    {"dov-boot-2.0.bin", 9000},  {"dov-main-4.0.bin", 5000},  {"moved.bin", 7000},
    {"wrong.bin", 4096},         {"labs-main-1.0.bin", 16000}};

// The bytes the server holds under this file name, different for every file.
QByteArray served(const QString &name)
{
    return ReleaseFolder::image(serverFiles.value(name), quint32(qHash(name)));
}

QList<QByteArray> imagesOf(const QList<FirmwareFile> &files)
{
    QList<QByteArray> images;
    for (const FirmwareFile &file : files)
        images.append(file.image);
    return images;
}

QString download(const QString &branch, const QString &value)
{
    return QLatin1Char('/') + branch + QStringLiteral("/lumetra.php?version=") + value;
}

// Long enough for an answer that must not come (a second report, a stopped file) to arrive.
constexpr int quietMs = 200;

} // namespace

// Waits until the client has read the catalogue of its latest request.
#define WAIT_FOR_CATALOGUE(cloud) QTRY_VERIFY_WITH_TIMEOUT(!(cloud).jsonTimer.isActive(), 5000)

class TestFirmwareDownload : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void downloadsFilesOfVersion_data();
    void downloadsFilesOfVersion();
    void everyFileMustArrive_data();
    void everyFileMustArrive();

private:
    std::unique_ptr<ReleaseFolder> folder;
    std::unique_ptr<ReleaseServer> server;
    std::unique_ptr<NVKCloudInterface> cloud;
};

void TestFirmwareDownload::init()
{
    folder = std::make_unique<ReleaseFolder>();
    QVERIFY(folder->writeCatalogue(defaultBranch, standardCatalogue));
    QVERIFY(folder->writeCatalogue(customBranch, customCatalogue));
    for (const QString &name : serverFiles.keys()) {
        const QString branch = name.startsWith("labs") ? customBranch : defaultBranch;
        QVERIFY(folder->writeFile(branch, name, served(name)));
    }
    server = std::make_unique<ReleaseServer>(folder->path());
    QVERIFY(server->start() != 0);
    cloud = std::make_unique<NVKCloudInterface>(server->baseUrl());
    cloud->requestVersions(defaultBranch, false);
    WAIT_FOR_CATALOGUE(*cloud);
    server->clearRequests();
}

void TestFirmwareDownload::downloadsFilesOfVersion_data()
{
    QTest::addColumn<QString>("branch"); // of the latest catalogue request
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("hardwareId");
    QTest::addColumn<QStringList>("keys");
    QTest::addColumn<QStringList>("files");

    const QString d = defaultBranch;
    const QString v1 = QStringLiteral("1.0"), v2 = QStringLiteral("2.0");
    const QStringList main{mainKey};
    const QStringList none;
    QTest::newRow("this identifier's file among two")
        << d << v1 << "DOVUr3" << main << QStringList{"dov-main-1.0.bin"};
    // The application firmware reports its identifier with "App"; the catalogue names it without.
    QTest::newRow("App twice, anywhere, is removed")
        << d << v1 << "AppDOVAppUr3" << main << QStringList{"dov-main-1.0.bin"};
    // The boot file is answered late, so the download must wait for both bodies.
    QTest::newRow("two files in key order, the first arriving last")
        << d << v2 << "DOVUr3" << QStringList{bootKey, mainKey}
        << QStringList{"dov-boot-2.0.bin", "dov-main-2.0.bin"};
    QTest::newRow("branch of the latest catalogue")
        << customBranch << v1 << "DOVUr3" << main << QStringList{"labs-main-1.0.bin"};

    // Nothing to fetch: the window sees the empty list at once; the client says nothing.
    QTest::newRow("lower-case identifier") << d << v1 << "dovur3" << none << none;
    QTest::newRow("lower-case app is kept") << d << v1 << "appDOVUr3" << none << none;
    QTest::newRow("five characters") << d << v2 << "DOVUr" << none << none;
    QTest::newRow("keys that only resemble firmware keys")
        << d << QString("5.0") << "DOVUr3" << none << none;
    QTest::newRow("version not in the catalogue")
        << d << QString("9.9") << "DOVUr3" << none << none;
}

void TestFirmwareDownload::downloadsFilesOfVersion()
{
    QFETCH(QString, branch);
    QFETCH(QString, version);
    QFETCH(QString, hardwareId);
    QFETCH(QStringList, keys);
    QFETCH(QStringList, files);
    if (branch != defaultBranch) {
        cloud->requestVersions(branch, false);
        WAIT_FOR_CATALOGUE(*cloud);
        server->clearRequests();
    }
    ServerFaults faults;
    faults.pathContains = QStringLiteral("dov-boot-2.0.bin");
    faults.delayMs = 300;
    server->setFaults(faults);

    // What the window would find in the list at the moment the signal reaches it.
    QList<QByteArray> imagesAtSignal;
    connect(cloud.get(), &NVKCloudInterface::firmware_download_finished, this,
            [&] { imagesAtSignal = imagesOf(cloud->firmwareFiles); });
    QSignalSpy finished(cloud.get(), &NVKCloudInterface::firmware_download_finished);
    QSignalSpy failed(cloud.get(), &NVKCloudInterface::firmware_download_failed);
    cloud->requestFirmware(version, hardwareId);

    // The entries exist, empty, as soon as the call returns.
    QList<QByteArray> images;
    QStringList requests;
    QCOMPARE(cloud->firmwareFiles.size(), keys.size());
    for (qsizetype i = 0; i < keys.size(); ++i) {
        QCOMPARE(cloud->firmwareFiles.at(i).name, keys.at(i));
        images.append(served(files.at(i)));
        requests.append(download(branch, files.at(i)));
    }

    if (!keys.isEmpty())
        QVERIFY(finished.wait(5000));
    QVERIFY(!finished.wait(quietMs));
    QCOMPARE(finished.count(), keys.isEmpty() ? 0 : 1);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(imagesAtSignal, images);
    QStringList arrived = server->requests();
    arrived.sort(); // issued together, so they may arrive in either order
    QCOMPARE(arrived, requests);
    QTRY_COMPARE(cloud->findChildren<QNetworkReply *>().size(), 0);
}

// Only a real image may reach the device: a download finishes only when every file came with a
// 2xx status and a body; anything else fails it, naming the file, and stops the other files.
void TestFirmwareDownload::everyFileMustArrive_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<ServerFaults>("faults");
    QTest::addColumn<QString>("serverUrl"); // of the download, when not the local server
    QTest::addColumn<QString>("failedKey"); // empty when the download finishes
    QTest::addColumn<QList<QByteArray>>("images");

    ServerFaults redirect;
    redirect.pathContains = QStringLiteral("dov-main-1.0.bin");
    redirect.redirectTo = download(defaultBranch, "moved.bin");
    ServerFaults errorPage;
    errorPage.status = 500;
    errorPage.body = QByteArray(8192, 'E');
    ServerFaults multipleChoices = errorPage;
    multipleChoices.status = 300;
    ServerFaults closedEarly;
    closedEarly.truncateTo = 10000;
    closedEarly.closeEarly = true;
    ServerFaults emptyBody;
    emptyBody.truncateTo = 0;
    ServerFaults silent;
    silent.neverAnswer = true;
    // The missing boot file fails at once; the main file would come a little later.
    ServerFaults slowMain;
    slowMain.pathContains = QStringLiteral("dov-main-4.0.bin");
    slowMain.delayMs = 100;
    const QString v1 = QStringLiteral("1.0");
    const QString local;    // the download goes to the local server
    const QString finishes; // no file fails
    const QList<QByteArray> none{QByteArray()};

    QTest::newRow("redirect to a path is followed")
        << v1 << redirect << local << finishes << QList<QByteArray>{served("moved.bin")};
    QTest::newRow("connection refused")
        << v1 << ServerFaults() << "http://127.0.0.1:9" << mainKey << none;
    // Large enough to pass for an image: it must never reach the device.
    QTest::newRow("500 with an error page of 8 KiB") << v1 << errorPage << local << mainKey << none;
    QTest::newRow("300 with a body of 8 KiB, nowhere to go")
        << v1 << multipleChoices << local << mainKey << none;
    QTest::newRow("connection closed before the promised length")
        << v1 << closedEarly << local << mainKey << none;
    QTest::newRow("200 with an empty body") << v1 << emptyBody << local << mainKey << none;
    QTest::newRow("no data within the time limit") << v1 << silent << local << mainKey << none;
    QTest::newRow("file missing on the server stops the other file")
        << QString("4.0") << slowMain << local << bootKey
        << QList<QByteArray>{QByteArray(), QByteArray()};
}

void TestFirmwareDownload::everyFileMustArrive()
{
    QFETCH(QString, version);
    QFETCH(ServerFaults, faults);
    QFETCH(QString, serverUrl);
    QFETCH(QString, failedKey);
    QFETCH(QList<QByteArray>, images);
    server->setFaults(faults);
    // The catalogue came from the local server; the download may go elsewhere.
    if (!serverUrl.isEmpty())
        cloud->serverUrl = serverUrl;
    // A shortened no-data limit: the real 30 s one is set on the same request.
    cloud->downloadTimeoutMs = 300;

    QSignalSpy finished(cloud.get(), &NVKCloudInterface::firmware_download_finished);
    QSignalSpy failed(cloud.get(), &NVKCloudInterface::firmware_download_failed);
    cloud->requestFirmware(version, "DOVUr3");
    QVERIFY((failedKey.isEmpty() ? finished : failed).wait(5000));
    QTest::qWait(quietMs);

    QCOMPARE(finished.count() + failed.count(), 1);
    QCOMPARE(failed.isEmpty() ? QString() : failed.first().first().toString(), failedKey);
    QCOMPARE(imagesOf(cloud->firmwareFiles), images);
    QTRY_COMPARE(cloud->findChildren<QNetworkReply *>().size(), 0);
}

QTEST_GUILESS_MAIN(TestFirmwareDownload)
#include "tst_firmwaredownload.moc"
