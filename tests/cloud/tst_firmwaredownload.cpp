// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// Firmware download: which files a version offers a device, fetching them, and every way a file
// can fail, against the local release server.
#include "../support/privatesettings.h"
#include "nvkcloudinterface.h"
#include "releasefolder.h"
#include "releaseserver.h"
#include "signedcatalogue.h"
#include "testcertificates.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(ServerFaults)
Q_DECLARE_METATYPE(NVKCloudInterface::Limits)

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

// A catalogue that lists this one version.
QByteArray catalogueOf(const QJsonObject &version)
{
    const QJsonObject product{{"product", "Lumetra"}, {"versions", QJsonArray{version}}};
    return QJsonDocument(QJsonArray{product}).toJson();
}

// Version 2.0 of the standard branch, alone, with a file for another model beside the meter's
// two, each with its checksum except those named in `unchecked`.
QByteArray versionWithChecksums(const QStringList &unchecked)
{
    const QMap<QString, QString> files{{bootKey, "dov-boot-2.0.bin"},
                                       {mainKey, "dov-main-2.0.bin"},
                                       {"QX7Lm2_main_firmware", "qx7-main-1.0.bin"}};
    QJsonObject version{{"tag_name", "2.0"}};
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        version.insert(it.key(), it.value());
        if (!unchecked.contains(it.key()))
            version.insert(it.key() + "_sha256", ReleaseFolder::sha256(served(it.value())));
    }
    return catalogueOf(version);
}

// Each hex digit replaced by another, so the value has the right form and no digit right.
QString everyDigitWrong(const QString &hex)
{
    QString wrong;
    for (const QChar digit : hex)
        wrong += QString::number((digit.toLatin1() - '0' + 1) % 10);
    return wrong;
}

} // namespace

// Waits until the client has read the catalogue of its latest request.
#define WAIT_FOR_CATALOGUE(cloud) QTRY_VERIFY_WITH_TIMEOUT(!(cloud).isWaitingForCatalogue(), 5000)

class TestFirmwareDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void downloadsFilesOfVersion_data();
    void downloadsFilesOfVersion();
    void everyFileMustArrive_data();
    void everyFileMustArrive();
    void fileIsFetchedByNameAndChecked_data();
    void fileIsFetchedByNameAndChecked();
    void untrustedServerSaysWhy();
    void signedVersionNeedsEveryChecksum_data();
    void signedVersionNeedsEveryChecksum();
    void refusalOfAnEarlierRequestIsDropped();

private:
    // A client that trusts makerKey, with the signed catalogue of versionWithChecksums() read.
    std::unique_ptr<NVKCloudInterface> signedClient(const QStringList &unchecked);

    std::unique_ptr<TestSigningKey> makerKey;

    std::unique_ptr<ReleaseFolder> folder;
    std::unique_ptr<ReleaseServer> server;
    std::unique_ptr<NVKCloudInterface> cloud;
};

void TestFirmwareDownload::initTestCase()
{
    usePrivateSettings(); // accepted signed catalogues are remembered there
    makerKey = std::make_unique<TestSigningKey>();
    QVERIFY2(makerKey->isValid(), qPrintable(makerKey->error()));
}

void TestFirmwareDownload::init()
{
    // Whatever the server does, the client's own handling of its replies must never make Qt warn
    // (lumetra-flash users would read it on their terminal).
    QTest::failOnWarning(QRegularExpression(QStringLiteral("QNetworkReply")));
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
            [&] { imagesAtSignal = imagesOf(cloud->downloads()); });
    QSignalSpy finished(cloud.get(), &NVKCloudInterface::firmware_download_finished);
    QSignalSpy failed(cloud.get(), &NVKCloudInterface::firmware_download_failed);
    cloud->requestFirmware(version, hardwareId);

    // The entries exist, empty, as soon as the call returns.
    QList<QByteArray> images;
    QStringList requests;
    QCOMPARE(cloud->downloads().size(), keys.size());
    for (qsizetype i = 0; i < keys.size(); ++i) {
        QCOMPARE(cloud->downloads().at(i).name, keys.at(i));
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

// Only a real image may reach the device: a download finishes only when every file came whole
// with status 200 or 203; anything else fails it, naming the file and saying why, and stops the
// other files. A server that sends without end, announces more than an image can be, or trickles
// its bytes is cut off as soon as it passes a bound, and nothing of it is kept. The bounds are
// shortened where the real ones would make the test slow; the 16 MiB one is used as built.
void TestFirmwareDownload::everyFileMustArrive_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<ServerFaults>("faults");
    QTest::addColumn<NVKCloudInterface::Limits>("limits");
    QTest::addColumn<QString>("failedKey"); // empty when the download finishes
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<QList<QByteArray>>("images");

    ServerFaults redirect;
    redirect.pathContains = QStringLiteral("dov-main-1.0.bin");
    redirect.redirectTo = download(defaultBranch, "moved.bin");
    // Large enough to pass for an image: it must never reach the device.
    ServerFaults multipleChoices;
    multipleChoices.status = 300;
    multipleChoices.body = QByteArray(8192, 'E');
    // Part of the image, never asked for: it must not pass for the whole of it.
    ServerFaults partial;
    partial.status = 206;
    partial.body = served("dov-main-1.0.bin").left(5000);
    ServerFaults throughProxy;
    throughProxy.status = 203;
    throughProxy.body = served("dov-main-1.0.bin");
    ServerFaults closedEarly;
    closedEarly.truncateTo = 10000;
    closedEarly.closeEarly = true;
    ServerFaults emptyBody;
    emptyBody.truncateTo = 0;
    ServerFaults silent;
    silent.neverAnswer = true;
    // Nothing listens on the discard port of this machine.
    ServerFaults refused;
    refused.redirectTo = "http://127.0.0.1:9" + download(defaultBranch, "dov-main-1.0.bin");
    // The missing boot file fails at once; the main file would come a little later.
    ServerFaults slowMain;
    slowMain.pathContains = QStringLiteral("dov-main-4.0.bin");
    slowMain.delayMs = 100;
    const QString v1 = QStringLiteral("1.0");
    const QString finishes; // no file fails
    const QString none;     // no reason
    const QList<QByteArray> nothing{QByteArray()};
    const QList<QByteArray> mainImage{served("dov-main-1.0.bin")};
    const QString status = QStringLiteral("http-status");
    const QString connection = QStringLiteral("connection");
    const QString tooLarge = QStringLiteral("too-large");
    // A shortened no-data limit; the real one is 30 s.
    NVKCloudInterface::Limits quiet;
    quiet.downloadTimeoutMs = 300;
    const auto imageBytes = [](qint64 maximum) {
        NVKCloudInterface::Limits limits;
        limits.maximumImageBytes = maximum;
        return limits;
    };
    NVKCloudInterface::Limits wholeIn300Ms;
    wholeIn300Ms.wholeImageTimeoutMs = 300;
    ServerFaults endless;
    endless.endlessBody = true;
    ServerFaults hugeLength;
    hugeLength.announcedLength = Q_INT64_C(3) << 29; // 1.5 GiB
    ServerFaults trickle;
    trickle.trickleMs = 20; // one byte every 20 ms: 400 s for 20000 bytes, never 30 s silent
    const qint64 size = serverFiles.value("dov-main-1.0.bin");

    QTest::newRow("redirect to a path is followed")
        << v1 << redirect << quiet << finishes << none << none
        << QList<QByteArray>{served("moved.bin")};
    QTest::newRow("203 through a proxy is the image")
        << v1 << throughProxy << quiet << finishes << none << none << mainImage;
    QTest::newRow("redirected to a port that refuses the connection")
        << v1 << refused << quiet << mainKey << connection << "connection refused" << nothing;
    QTest::newRow("300 with a body of 8 KiB, nowhere to go")
        << v1 << multipleChoices << quiet << mainKey << status << "server answered HTTP 300"
        << nothing;
    QTest::newRow("206 with 5000 of the 20000 bytes")
        << v1 << partial << quiet << mainKey << status << "HTTP status 206 instead of 200"
        << nothing;
    QTest::newRow("connection closed before the promised length")
        << v1 << closedEarly << quiet << mainKey << connection << "connection closed before the end"
        << nothing;
    QTest::newRow("200 with an empty body") << v1 << emptyBody << quiet << mainKey << "empty"
                                            << "the server sent no data" << nothing;
    QTest::newRow("no data within the time limit") << v1 << silent << quiet << mainKey << "timeout"
                                                   << "no data for 300 ms" << nothing;
    QTest::newRow("file missing on the server stops the other file")
        << QString("4.0") << slowMain << quiet << bootKey << status << "server answered HTTP 404"
        << QList<QByteArray>{QByteArray(), QByteArray()};

    QTest::newRow("endless body, passing 256 KiB as it arrives")
        << v1 << endless << imageBytes(256 * 1024) << mainKey << tooLarge << "larger than 256 KiB"
        << nothing;
    QTest::newRow("Content-Length of 1.5 GiB, before any byte")
        << v1 << hugeLength << NVKCloudInterface::Limits() << mainKey << tooLarge
        << "larger than 16 MiB" << nothing;
    QTest::newRow("one byte over the limit")
        << v1 << ServerFaults() << imageBytes(size - 1) << mainKey << tooLarge
        << QString("larger than %1 bytes").arg(size - 1) << nothing;
    QTest::newRow("exactly the limit")
        << v1 << ServerFaults() << imageBytes(size) << finishes << none << none << mainImage;
    QTest::newRow("trickle past the whole limit")
        << v1 << trickle << wholeIn300Ms << mainKey << "timeout"
        << "not complete after 300 ms" << nothing;
}

void TestFirmwareDownload::everyFileMustArrive()
{
    QFETCH(QString, version);
    QFETCH(ServerFaults, faults);
    QFETCH(NVKCloudInterface::Limits, limits);
    QFETCH(QString, failedKey);
    QFETCH(QString, reason);
    QFETCH(QString, detail);
    QFETCH(QList<QByteArray>, images);
    server->setFaults(faults);
    cloud->setLimits(limits);

    QSignalSpy finished(cloud.get(), &NVKCloudInterface::firmware_download_finished);
    QSignalSpy failed(cloud.get(), &NVKCloudInterface::firmware_download_failed);
    cloud->requestFirmware(version, "DOVUr3");
    QVERIFY((failedKey.isEmpty() ? finished : failed).wait(5000));
    QTest::qWait(quietMs);

    QCOMPARE(finished.count() + failed.count(), 1);
    QCOMPARE(failed.isEmpty() ? QString() : failed.first().first().toString(), failedKey);
    const DownloadFailure why =
        failed.isEmpty() ? DownloadFailure() : failed.first().at(1).value<DownloadFailure>();
    QCOMPARE(why.code, reason);
    QCOMPARE(why.detail, detail);
    if (!failed.isEmpty() && faults.status != 0)
        QCOMPARE(why.httpStatus, faults.status);
    QCOMPARE(imagesOf(cloud->downloads()), images);
    QTRY_COMPARE(cloud->findChildren<QNetworkReply *>().size(), 0);
}

// Version 7.0's one file, as the catalogue names and checks it. The name is one query value,
// whatever it holds: the server is asked for that file, never for a shorter name, a second
// parameter or a name decoded twice; plain names and subfolders go out exactly as they always
// did. The published checksum is compared whole: one that is right only in its first half, or
// that stops there, belongs to other bytes.
void TestFirmwareDownload::fileIsFetchedByNameAndChecked_data()
{
    QTest::addColumn<QString>("value");     // the file's name in the catalogue
    QTest::addColumn<QString>("published"); // its checksum; null: none is published
    QTest::addColumn<bool>("flashable");

    const QString none;
    QTest::newRow("& would start a second parameter") << "a.bin&version=evil.bin" << none << true;
    QTest::newRow("# would start a fragment") << "a.bin#frag" << none << true;
    QTest::newRow("+ would be read as a space") << "x+y.bin" << none << true;
    QTest::newRow("% would start an escape") << "100%41.bin" << none << true;
    QTest::newRow("a space") << "x y.bin" << none << true;
    QTest::newRow("= ? ; are data") << "a=b?c;d.bin" << none << true;
    QTest::newRow("non-ASCII") << QString::fromUtf8("\xD0\xBF\xD1\x80.bin") << none << true;
    const QString plain = QStringLiteral("DOVUr3_main_1.2.0-rc1.bin");
    QTest::newRow("plain name") << plain << none << true;
    QTest::newRow("file in a subfolder") << "sub/part.bin" << none << true;

    const QString digest = ReleaseFolder::sha256(ReleaseFolder::image(6000, 99));
    QTest::newRow("the whole checksum") << plain << digest << true;
    QTest::newRow("the whole checksum in upper case") << plain << digest.toUpper() << true;
    QTest::newRow("right in its first 32 digits only")
        << plain << digest.left(32) + everyDigitWrong(digest.mid(32)) << false;
    QTest::newRow("cut to its first 32 digits") << plain << digest.left(32) << false;
    QTest::newRow("right but for the last digit")
        << plain << digest.left(63) + everyDigitWrong(digest.right(1)) << false;
    QTest::newRow("followed by a newline") << plain << digest + "\n" << false;
}

void TestFirmwareDownload::fileIsFetchedByNameAndChecked()
{
    QFETCH(QString, value);
    QFETCH(QString, published);
    QFETCH(bool, flashable);
    // What a name would fetch if it were cut, split or decoded twice.
    const QStringList decoys{"a.bin", "evil.bin", "100A.bin", "x", "a=b"};
    for (const QString &decoy : decoys)
        QVERIFY(folder->writeFile(defaultBranch, decoy, "decoy " + decoy.toUtf8()));
    if (value != "x y.bin")
        QVERIFY(folder->writeFile(defaultBranch, "x y.bin", "decoy x y.bin"));
    const QByteArray image = ReleaseFolder::image(6000, 99);
    QVERIFY(folder->writeFile(defaultBranch, value, image));
    QJsonObject version{{"tag_name", "7.0"}, {mainKey, value}};
    if (!published.isNull())
        version.insert(mainKey + "_sha256", published);
    QVERIFY(folder->writeCatalogue(defaultBranch, catalogueOf(version)));
    cloud->requestVersions(defaultBranch, false);
    WAIT_FOR_CATALOGUE(*cloud);
    server->clearRequests();

    QSignalSpy finished(cloud.get(), &NVKCloudInterface::firmware_download_finished);
    QSignalSpy failed(cloud.get(), &NVKCloudInterface::firmware_download_failed);
    cloud->requestFirmware("7.0", "DOVUr3");
    QVERIFY(QTest::qWaitFor([&] { return !finished.isEmpty() || !failed.isEmpty(); }, 5000));
    const DownloadFailure why =
        failed.isEmpty() ? DownloadFailure() : failed.first().at(1).value<DownloadFailure>();
    QCOMPARE(why.code, flashable ? QString() : QStringLiteral("checksum-mismatch"));
    QCOMPARE(why.detail,
             flashable ? QString() : QStringLiteral("checksum does not match the published one"));
    QCOMPARE(imagesOf(cloud->downloads()), QList<QByteArray>{flashable ? image : QByteArray()});
    QCOMPARE(server->requests().size(), 1);
    // A name of letters, digits, '.', '_', '-' and '/' goes out exactly as it always did.
    if (!value.contains(QRegularExpression(QStringLiteral("[^A-Za-z0-9._/-]"))))
        QCOMPARE(server->requests().first(), download(defaultBranch, value));
}

// A server whose certificate the system does not trust gives nothing, and says why. The image is
// sent there by the plain server that gave the catalogue, as a mirror or a CDN would be (a
// redirect up to https is followed). A catalogue from such a server fails the same way: both
// replies are told by BoundedReply, whose failure the catalogue passes on as it is.
void TestFirmwareDownload::untrustedServerSaysWhy()
{
    const TestCertificates certificates(QStringLiteral("localhost"));
    QVERIFY2(certificates.isValid(), qPrintable(certificates.error()));
    ReleaseServer httpsServer(folder->path());
    QVERIFY(httpsServer.useTls(certificates.serverCertificateFile(), certificates.serverKeyFile()));
    QVERIFY(httpsServer.start() != 0);
    const QString httpsUrl = httpsServer.baseUrl(QStringLiteral("localhost"));
    ServerFaults toHttps;
    toHttps.redirectTo = httpsUrl + download(defaultBranch, "dov-main-1.0.bin");
    server->setFaults(toHttps);

    QSignalSpy failed(cloud.get(), &NVKCloudInterface::firmware_download_failed);
    cloud->requestFirmware("1.0", "DOVUr3");
    QVERIFY(failed.wait(5000));
    const DownloadFailure why = failed.first().at(1).value<DownloadFailure>();
    QCOMPARE(why.code, QStringLiteral("tls"));
    QVERIFY2(why.detail.startsWith(QStringLiteral("server certificate not trusted: ")),
             qPrintable(why.detail));
}

std::unique_ptr<NVKCloudInterface> TestFirmwareDownload::signedClient(const QStringList &unchecked)
{
    auto client = std::make_unique<NVKCloudInterface>(server->baseUrl(),
                                                      ReleaseTrust(trustedKeysOf(*makerKey)));
    if (!folder->writeCatalogue(defaultBranch, versionWithChecksums(unchecked)) ||
        !folder->signCatalogue(defaultBranch, *makerKey))
        return nullptr;
    QSignalSpy received(client.get(), &NVKCloudInterface::catalogue_received);
    client->requestVersions(defaultBranch, false);
    if (!received.wait(5000) || client->versions() != QStringList{"2.0"})
        return nullptr;
    server->clearRequests();
    return client;
}

// The signature vouches for an image only through the checksum it publishes: in a signed
// catalogue a version with any file left unchecked, for this meter or another, is refused whole
// before anything is fetched, and the refusal names that file.
void TestFirmwareDownload::signedVersionNeedsEveryChecksum_data()
{
    QTest::addColumn<QStringList>("unchecked");
    QTest::addColumn<QString>("refused"); // empty: the download finishes

    QTest::newRow("every file checked") << QStringList() << QString();
    QTest::newRow("another model's file unchecked")
        << QStringList{"QX7Lm2_main_firmware"} << "QX7Lm2_main_firmware";
    QTest::newRow("the meter's second file unchecked") << QStringList{mainKey} << mainKey;
    QTest::newRow("two unchecked: the first is named") << QStringList{mainKey, bootKey} << bootKey;
}

void TestFirmwareDownload::signedVersionNeedsEveryChecksum()
{
    QFETCH(QStringList, unchecked);
    QFETCH(QString, refused);
    const std::unique_ptr<NVKCloudInterface> client = signedClient(unchecked);
    QVERIFY(client);

    QSignalSpy finished(client.get(), &NVKCloudInterface::firmware_download_finished);
    QSignalSpy failed(client.get(), &NVKCloudInterface::firmware_download_failed);
    client->requestFirmware("2.0", "DOVUr3");
    // Like a download that fails at the server, the refusal comes once the caller has returned
    // to its event loop, with the files it would have fetched listed.
    QCOMPARE(failed.count(), 0);
    QCOMPARE(client->downloads().size(), 2);
    QVERIFY((refused.isEmpty() ? finished : failed).wait(5000));
    QTest::qWait(quietMs);

    QCOMPARE(finished.count() + failed.count(), 1);
    if (refused.isEmpty()) {
        QCOMPARE(imagesOf(client->downloads()),
                 (QList<QByteArray>{served("dov-boot-2.0.bin"), served("dov-main-2.0.bin")}));
        return;
    }
    QCOMPARE(failed.first().first().toString(), refused);
    const DownloadFailure why = failed.first().at(1).value<DownloadFailure>();
    QCOMPARE(why.code, QStringLiteral("checksum-missing"));
    QCOMPARE(why.detail, "the signed catalogue publishes no checksum for " + refused);
    QCOMPARE(imagesOf(client->downloads()), (QList<QByteArray>{QByteArray(), QByteArray()}));
    QCOMPARE(server->requests(), QStringList());
}

// A refusal still on its way when the next request is made belongs to the older request: it must
// not come as the newer one's result.
void TestFirmwareDownload::refusalOfAnEarlierRequestIsDropped()
{
    const std::unique_ptr<NVKCloudInterface> client = signedClient({mainKey});
    QVERIFY(client);
    QSignalSpy failed(client.get(), &NVKCloudInterface::firmware_download_failed);
    client->requestFirmware("2.0", "DOVUr3");
    client->requestFirmware("9.9", "DOVUr3"); // nothing to fetch, so nothing to report
    QVERIFY(client->downloads().isEmpty());
    QVERIFY(!failed.wait(quietMs));
}

QTEST_GUILESS_MAIN(TestFirmwareDownload)
#include "tst_firmwaredownload.moc"
