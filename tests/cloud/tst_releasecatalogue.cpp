// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// The release catalogue: the beta rule, catalogue order, the NUL cut, the silent failures, the
// time-out and superseded requests, against the local release server.
#include "nvkcloudinterface.h"
#include "releasefolder.h"
#include "releaseserver.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

namespace {

const QString defaultBranch = QStringLiteral("cust");

// One product object holding the versions X, Y and Z, with `flags` added to Y.
QByteArray productXYZ(const QByteArray &flags)
{
    return R"([{"product": "Lumetra", "versions": [
        {"tag_name": "X", "prerelease": "false", "isbeta": "false"}, {"tag_name": "Y")" +
           flags + R"(}, {"tag_name": "Z"}]}])";
}

QByteArray oneProduct(const QByteArray &versions)
{
    return R"([{"product": "Lumetra", "versions": [)" + versions + "]}]";
}

} // namespace

// Waits until the latest request has been answered and parsed: its timer stops then.
#define WAIT_FOR_ANSWER(cloud) QTRY_VERIFY_WITH_TIMEOUT(!(cloud).jsonTimer.isActive(), 5000)

class TestReleaseCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void readsCatalogue_data();
    void readsCatalogue();
    void keepsEveryMemberAsText();
    void silentServerReportsOncePerExpiry_data();
    void silentServerReportsOncePerExpiry();
    void supersededAnswerNeitherFillsListNorStopsTimer();

private:
    std::unique_ptr<ReleaseFolder> folder;
    std::unique_ptr<ReleaseServer> server;
};

void TestReleaseCatalogue::init()
{
    folder = std::make_unique<ReleaseFolder>();
    server = std::make_unique<ReleaseServer>(folder->path());
    QVERIFY(server->start() != 0);
}

void TestReleaseCatalogue::readsCatalogue_data()
{
    QTest::addColumn<QByteArray>("catalogue"); // none: the server answers with its 404 page
    QTest::addColumn<bool>("showBetas");
    QTest::addColumn<QStringList>("versions");
    // Including the one that every request makes at its start, while the list is empty.
    QTest::addColumn<int>("updates");

    const QByteArray prerelease = productXYZ(R"(, "prerelease": "true", "isbeta": "false")");
    const QByteArray beta = productXYZ(R"(, "prerelease": "false", "isbeta": "true")");
    const QStringList all{"X", "Y", "Z"};
    const QStringList released{"X", "Z"};

    QTest::newRow("pre-release hidden without betas") << prerelease << false << released << 2;
    QTest::newRow("pre-release listed with betas") << prerelease << true << all << 2;
    QTest::newRow("beta hidden without betas") << beta << false << released << 2;
    QTest::newRow("beta listed with betas") << beta << true << all << 2;
    QTest::newRow("boolean true flags hide nothing")
        << productXYZ(R"(, "prerelease": true, "isbeta": true)") << false << all << 2;
    QTest::newRow("capitalised or padded true hides nothing")
        << productXYZ(R"(, "prerelease": "True", "isbeta": " true")") << false << all << 2;
    QTest::newRow("catalogue order kept, not sorted")
        << oneProduct(R"({"tag_name": "2.0"}, {"tag_name": "10.0"}, {"tag_name": "1.5"})") << false
        << QStringList{"2.0", "10.0", "1.5"} << 2;
    QTest::newRow("two products keep their order, one update each")
        << QByteArray(
               R"([{"product": "Lumetra", "versions": [{"tag_name": "B"}, {"tag_name": "A"}]},
                          {"product": "Lumetra", "versions": [{"tag_name": "C"}]}])")
        << false << QStringList{"B", "A", "C"} << 3;
    // Any key besides "product": "Lumetra" makes an object count, whatever product it names.
    QTest::newRow("objects count by their keys, not their product")
        << QByteArray(R"([{"product": "Lumetra"}, {"product": "Lumetra", "notes": "none yet"},
                          {"product": "Spectra", "versions": [{"tag_name": "S1"}]}])")
        << false << QStringList{"S1"} << 3;
    QTest::newRow("UTF-8 tag decoded")
        << oneProduct("{\"tag_name\": \"r\xc3\xa9v-\xe2\x82\xac\"}") << false
        << QStringList{QString::fromUtf8("r\xc3\xa9v-\xe2\x82\xac")} << 2;

    QTest::newRow("NUL after the array parses")
        << oneProduct(R"({"tag_name": "A"})") + QByteArray("\0\0trailing padding {", 20) << false
        << QStringList{"A"} << 2;
    QTest::newRow("NUL inside the array does not parse")
        << oneProduct(R"({"tag_name": "A")" + QByteArray(1, '\0') + "}") << false << QStringList()
        << 1;
    QTest::newRow("invalid JSON") << QByteArray("[{\"product\": ") << false << QStringList() << 1;
    QTest::newRow("object at top level")
        << QByteArray(R"({"product": "Lumetra", "versions": [{"tag_name": "A"}]})") << false
        << QStringList() << 1;
    QTest::newRow("HTTP error page") << QByteArray() << true << QStringList() << 1;
}

void TestReleaseCatalogue::readsCatalogue()
{
    QFETCH(QByteArray, catalogue);
    QFETCH(bool, showBetas);
    QFETCH(QStringList, versions);
    QFETCH(int, updates);
    if (!catalogue.isNull())
        QVERIFY(folder->writeCatalogue(defaultBranch, catalogue));

    NVKCloudInterface cloud(server->baseUrl());
    QSignalSpy updateSpy(&cloud, &NVKCloudInterface::versions_update);
    QSignalSpy noInternet(&cloud, &NVKCloudInterface::no_internet_connection);
    cloud.requestVersions(defaultBranch, showBetas);
    QCOMPARE(updateSpy.count(), 1);
    WAIT_FOR_ANSWER(cloud);

    QCOMPARE(cloud.versionList, versions);
    QCOMPARE(updateSpy.count(), updates);
    // The timer stopped because the answer came, and an unusable one is not reported.
    QCOMPARE(noInternet.count(), 0);
}

void TestReleaseCatalogue::keepsEveryMemberAsText()
{
    QVERIFY(folder->writeCatalogue(defaultBranch, oneProduct(R"({"tag_name": "A", "fw": "old.bin"},
        {"tag_name": "A", "fw": "a.bin", "size": 4096, "notes": null, "files": ["a.bin"]})")));
    NVKCloudInterface cloud(server->baseUrl());
    cloud.requestVersions(defaultBranch, false);
    WAIT_FOR_ANSWER(cloud);

    // A duplicate tag is listed twice, and its later entry replaces the earlier one. Values that
    // are not strings read as "", and the flags missing from the catalogue are added as "".
    QCOMPARE(cloud.versionList, (QStringList{"A", "A"}));
    const QMap<QString, QString> a{{"tag_name", "A"}, {"fw", "a.bin"}, {"size", ""},
                                   {"notes", ""},     {"files", ""},   {"prerelease", ""},
                                   {"isbeta", ""}};
    QCOMPARE(cloud.versionTable, (QMap<QString, QMap<QString, QString>>{{"A", a}}));
}

void TestReleaseCatalogue::silentServerReportsOncePerExpiry_data()
{
    QTest::addColumn<int>("timeoutMs"); // 0: the real limit
    QTest::newRow("at the real 6000 ms") << 0;
    // Waits past a second expiry, so a repeating timer would report twice.
    QTest::newRow("shortened to 200 ms") << 200;
}

void TestReleaseCatalogue::silentServerReportsOncePerExpiry()
{
    QFETCH(int, timeoutMs);
    ServerFaults faults;
    faults.neverAnswer = true;
    server->setFaults(faults);
    NVKCloudInterface cloud(server->baseUrl());
    if (timeoutMs != 0)
        cloud.jsonTimeoutMs = timeoutMs;
    const int limitMs = cloud.jsonTimeoutMs;
    QSignalSpy noInternet(&cloud, &NVKCloudInterface::no_internet_connection);

    // Two requests in quick succession (the show-betas box ticked and unticked) restart the one
    // single-shot timer: one report, not two.
    QElapsedTimer clock;
    clock.start();
    cloud.requestVersions(defaultBranch, true);
    cloud.requestVersions(defaultBranch, false);
    QVERIFY(noInternet.wait(limitMs + 2000));
    // A coarse QTimer may fire 5 % early, and it and the clock each count whole milliseconds.
    const int earliestMs = limitMs - limitMs / 20 - 2;
    QVERIFY2(clock.elapsed() >= earliestMs && clock.elapsed() < limitMs + 1000,
             qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!noInternet.wait(qMin(3 * limitMs, 1000)));
    QCOMPARE(noInternet.count(), 1);
}

// Ticking "Show Betas" quickly must never list a version twice or under the wrong setting: the
// older answer, though it comes first, neither fills the list nor stops the newer request's timer.
// The newer answer still fills the list when it comes after the time-out.
// A superseded request is ended at once, so none is left waiting for an answer that never comes.
void TestReleaseCatalogue::supersededAnswerNeitherFillsListNorStopsTimer()
{
    const QString slowBranch = QStringLiteral("labs/rf-team");
    QVERIFY(folder->writeCatalogue(defaultBranch, productXYZ(QByteArray())));
    QVERIFY(folder->writeCatalogue(slowBranch, oneProduct(R"({"tag_name": "L1"})")));
    ServerFaults faults;
    faults.pathContains = slowBranch;
    faults.delayMs = 700;
    server->setFaults(faults);

    NVKCloudInterface cloud(server->baseUrl());
    cloud.jsonTimeoutMs = 250;
    QSignalSpy noInternet(&cloud, &NVKCloudInterface::no_internet_connection);
    cloud.requestVersions(defaultBranch, false);
    cloud.requestVersions(slowBranch, true);

    QVERIFY(noInternet.wait(2000));
    QVERIFY(cloud.versionList.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(cloud.versionList, QStringList{"L1"}, 5000);
    QCOMPARE(noInternet.count(), 1);
    // One network access manager for every request; no reply outlives its handling.
    QTRY_COMPARE(cloud.findChildren<QNetworkReply *>().size(), 0);

    // A superseded request that would never be answered is ended, not left waiting.
    faults.pathContains = QStringLiteral("/cust/");
    faults.delayMs = 0;
    faults.neverAnswer = true;
    server->setFaults(faults);
    cloud.requestVersions(defaultBranch, false);
    cloud.requestVersions(slowBranch, true);
    WAIT_FOR_ANSWER(cloud);
    QCOMPARE(cloud.versionList, QStringList{"L1"});
    QTRY_COMPARE(cloud.findChildren<QNetworkReply *>().size(), 0);
    QCOMPARE(cloud.findChildren<QNetworkAccessManager *>().size(), 1);
}

QTEST_GUILESS_MAIN(TestReleaseCatalogue)
#include "tst_releasecatalogue.moc"
