// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// The release catalogue: fetching, the beta rule, catalogue order, the silent failures and the
// time-out, against the local release server.
#include "nvkcloudinterface.h"
#include "releasefolder.h"
#include "releaseserver.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

namespace {

const QString defaultBranch = QStringLiteral("cust");
const QString customBranch = QStringLiteral("labs/rf-team");

// One product object holding the versions X, Y and Z, with `flags` added to Y.
QByteArray productXYZ(const QByteArray &flags)
{
    return R"([{"product": "Lumetra", "versions": [
        {"tag_name": "X", "prerelease": "false", "isbeta": "false"},
        {"tag_name": "Y")" +
           flags + R"(},
        {"tag_name": "Z", "prerelease": "false", "isbeta": "false"}]}])";
}

// A port on 127.0.0.1 where nothing listens, so a connection is refused at once.
QString refusingServerUrl()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    const quint16 port = probe.serverPort();
    probe.close();
    return QStringLiteral("http://127.0.0.1:") + QString::number(port);
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
    void requestsBranchCatalogue_data();
    void requestsBranchCatalogue();
    void unusableAnswerLeavesListEmptySilently_data();
    void unusableAnswerLeavesListEmptySilently();

    void silentServerReportsOncePerExpiry();
    void lateCatalogueStillFillsList();
    void silentServerReportsAfterSixSeconds();

    void quickToggleListsEachVersionOnce();
    void supersededAnswerNeitherFillsListNorStopsTimer();
    void repliesAreReleased();

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
    QTest::addColumn<QByteArray>("catalogue");
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
    QTest::newRow("capitalised True hides nothing")
        << productXYZ(R"(, "prerelease": "True", "isbeta": "TRUE")") << false << all << 2;
    QTest::newRow("true with a space hides nothing")
        << productXYZ(R"(, "prerelease": " true", "isbeta": "true ")") << false << all << 2;

    QTest::newRow("catalogue order kept, not sorted")
        << QByteArray(R"([{"product": "Lumetra", "versions": [
               {"tag_name": "2.0"}, {"tag_name": "10.0"}, {"tag_name": "1.5"}]}])")
        << false << QStringList{"2.0", "10.0", "1.5"} << 2;
    QTest::newRow("two products keep their order, one update each")
        << QByteArray(
               R"([{"product": "Lumetra", "versions": [{"tag_name": "B"}, {"tag_name": "A"}]},
                          {"product": "Lumetra", "versions": [{"tag_name": "C"}]}])")
        << false << QStringList{"B", "A", "C"} << 3;
    QTest::newRow("another product merged like this one")
        << QByteArray(R"([{"product": "Spectra", "versions": [{"tag_name": "S1"}]}])") << false
        << QStringList{"S1"} << 2;
    QTest::newRow("product name alone contributes nothing")
        << QByteArray(R"([{"product": "Lumetra"}, "not an object", 7,
                          {"product": "Lumetra", "versions": [{"tag_name": "A"}]}])")
        << false << QStringList{"A"} << 2;
    QTest::newRow("object without versions still signals")
        << QByteArray(R"([{"product": "Lumetra", "notes": "none yet"}])") << false << QStringList()
        << 2;
    QTest::newRow("version without tag name listed empty")
        << QByteArray(R"([{"product": "Lumetra", "versions": [{"prerelease": "false"}]}])") << false
        << QStringList{QString()} << 2;
    QTest::newRow("duplicate tag listed twice")
        << QByteArray(
               R"([{"product": "Lumetra", "versions": [{"tag_name": "A"}, {"tag_name": "A"}]}])")
        << false << QStringList{"A", "A"} << 2;
    QTest::newRow("UTF-8 tag decoded")
        << QByteArray("[{\"product\": \"Lumetra\", \"versions\": [{\"tag_name\": "
                      "\"r\xc3\xa9v-\xe2\x82\xac\"}]}]")
        << false << QStringList{QString::fromUtf8("r\xc3\xa9v-\xe2\x82\xac")} << 2;

    const QByteArray one = R"([{"product": "Lumetra", "versions": [{"tag_name": "A"}]}])";
    QTest::newRow("NUL after the array parses")
        << one + QByteArray("\0\0trailing padding {", 20) << false << QStringList{"A"} << 2;
    QTest::newRow("NUL inside the array does not parse")
        << QByteArray(R"([{"product": "Lumetra", "versions": [{"tag_name": "A")") +
               QByteArray(1, '\0') + QByteArray("}]}]")
        << false << QStringList() << 1;
    QTest::newRow("invalid JSON") << QByteArray("[{\"product\": ") << false << QStringList() << 1;
    QTest::newRow("object at top level")
        << QByteArray(R"({"product": "Lumetra", "versions": [{"tag_name": "A"}]})") << false
        << QStringList() << 1;
    QTest::newRow("empty body") << QByteArray() << false << QStringList() << 1;
}

void TestReleaseCatalogue::readsCatalogue()
{
    QFETCH(QByteArray, catalogue);
    QFETCH(bool, showBetas);
    QFETCH(QStringList, versions);
    QFETCH(int, updates);
    QVERIFY(folder->writeCatalogue(defaultBranch, catalogue));

    NVKCloudInterface cloud(server->baseUrl());
    QSignalSpy updateSpy(&cloud, &NVKCloudInterface::versions_update);
    QSignalSpy noInternet(&cloud, &NVKCloudInterface::no_internet_connection);
    cloud.requestVersions(defaultBranch, showBetas);
    QCOMPARE(updateSpy.count(), 1);
    QVERIFY(cloud.versionList.isEmpty());
    WAIT_FOR_ANSWER(cloud);

    QCOMPARE(cloud.versionList, versions);
    QCOMPARE(updateSpy.count(), updates);
    QCOMPARE(noInternet.count(), 0);
    QCOMPARE(cloud.showBetas, showBetas);
    for (const QString &tag : std::as_const(versions))
        QVERIFY(cloud.versionTable.contains(tag));
}

void TestReleaseCatalogue::keepsEveryMemberAsText()
{
    QVERIFY(folder->writeCatalogue(defaultBranch, R"([{"product": "Lumetra", "versions": [
        {"tag_name": "A", "DOVUr3_main_firmware": "old.bin"},
        {"tag_name": "A", "DOVUr3_main_firmware": "a.bin", "size": 4096, "signed": true,
         "notes": null, "files": ["a.bin"], "meta": {"k": "v"}}]}])"));

    NVKCloudInterface cloud(server->baseUrl());
    cloud.requestVersions(defaultBranch, false);
    WAIT_FOR_ANSWER(cloud);

    // The later "A" replaces the earlier one; values that are not strings read as "", and the
    // flags missing from the catalogue are added as "".
    const QMap<QString, QString> expected{{"tag_name", "A"}, {"DOVUr3_main_firmware", "a.bin"},
                                          {"size", ""},      {"signed", ""},
                                          {"notes", ""},     {"files", ""},
                                          {"meta", ""},      {"prerelease", ""},
                                          {"isbeta", ""}};
    QCOMPARE(cloud.versionTable.size(), 1);
    QCOMPARE(cloud.versionTable.value("A"), expected);
}

void TestReleaseCatalogue::requestsBranchCatalogue_data()
{
    QTest::addColumn<QString>("branch");
    QTest::addColumn<QString>("path");
    QTest::newRow("standard branch") << defaultBranch << "/cust/lumetrarelease/";
    QTest::newRow("custom branch of two segments")
        << customBranch << "/labs/rf-team/lumetrarelease/";
}

void TestReleaseCatalogue::requestsBranchCatalogue()
{
    QFETCH(QString, branch);
    QFETCH(QString, path);
    QVERIFY(folder->writeCatalogue(branch, productXYZ(QByteArray())));

    NVKCloudInterface cloud(server->baseUrl());
    QCOMPARE(cloud.releaseBranch, defaultBranch);
    cloud.requestVersions(branch, false);
    QCOMPARE(cloud.releaseBranch, branch);
    WAIT_FOR_ANSWER(cloud);
    QCOMPARE(server->requests(), QStringList{path});
    QCOMPARE(cloud.versionList, (QStringList{"X", "Y", "Z"}));
}

void TestReleaseCatalogue::unusableAnswerLeavesListEmptySilently_data()
{
    QTest::addColumn<QString>("serverKind");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("HTTP error page")
        << "local" << 500 << QByteArray("<html><body>Internal error</body></html>");
    QTest::newRow("HTTP 404 without body") << "local" << 404 << QByteArray();
    QTest::newRow("connection refused") << "refused" << 0 << QByteArray();
    QTest::newRow("name not resolved") << "unresolved" << 0 << QByteArray();
}

void TestReleaseCatalogue::unusableAnswerLeavesListEmptySilently()
{
    QFETCH(QString, serverKind);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QVERIFY(folder->writeCatalogue(defaultBranch, productXYZ(QByteArray())));
    ServerFaults faults;
    faults.status = status;
    faults.body = body;
    server->setFaults(faults);

    const QString url = serverKind == "refused"      ? refusingServerUrl()
                        : serverKind == "unresolved" ? QStringLiteral("http://release.invalid")
                                                     : server->baseUrl();
    NVKCloudInterface cloud(url);
    QSignalSpy updateSpy(&cloud, &NVKCloudInterface::versions_update);
    QSignalSpy noInternet(&cloud, &NVKCloudInterface::no_internet_connection);
    cloud.requestVersions(defaultBranch, true);
    WAIT_FOR_ANSWER(cloud);

    // The timer stopped because the answer came, not because it expired.
    QCOMPARE(noInternet.count(), 0);
    QCOMPARE(updateSpy.count(), 1);
    QVERIFY(cloud.versionList.isEmpty());
    QVERIFY(cloud.versionTable.isEmpty());
}

void TestReleaseCatalogue::silentServerReportsOncePerExpiry()
{
    ServerFaults faults;
    faults.neverAnswer = true;
    server->setFaults(faults);

    NVKCloudInterface cloud(server->baseUrl());
    cloud.jsonTimeoutMs = 200;
    QSignalSpy noInternet(&cloud, &NVKCloudInterface::no_internet_connection);

    cloud.requestVersions(defaultBranch, false);
    QVERIFY(noInternet.wait(2000));
    QVERIFY(!noInternet.wait(600)); // single-shot: one report per expiry
    QCOMPARE(noInternet.count(), 1);

    // Two requests in quick succession (the show-betas box ticked and unticked) restart the
    // one timer: one more report, not two.
    cloud.requestVersions(defaultBranch, true);
    cloud.requestVersions(defaultBranch, false);
    QVERIFY(noInternet.wait(2000));
    QVERIFY(!noInternet.wait(600));
    QCOMPARE(noInternet.count(), 2);
    QVERIFY(cloud.versionList.isEmpty());
}

void TestReleaseCatalogue::lateCatalogueStillFillsList()
{
    QVERIFY(folder->writeCatalogue(defaultBranch, productXYZ(R"(, "prerelease": "true")")));
    ServerFaults faults;
    faults.delayMs = 600;
    server->setFaults(faults);

    NVKCloudInterface cloud(server->baseUrl());
    cloud.jsonTimeoutMs = 150;
    QSignalSpy noInternet(&cloud, &NVKCloudInterface::no_internet_connection);
    QSignalSpy updateSpy(&cloud, &NVKCloudInterface::versions_update);
    cloud.requestVersions(defaultBranch, false);

    QVERIFY(noInternet.wait(2000));
    QVERIFY(cloud.versionList.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(cloud.versionList, (QStringList{"X", "Z"}), 5000);
    QCOMPARE(noInternet.count(), 1);
    QCOMPARE(updateSpy.count(), 2);
}

void TestReleaseCatalogue::silentServerReportsAfterSixSeconds()
{
    ServerFaults faults;
    faults.neverAnswer = true;
    server->setFaults(faults);

    NVKCloudInterface cloud(server->baseUrl());
    QCOMPARE(cloud.jsonTimeoutMs, 6000);
    QSignalSpy noInternet(&cloud, &NVKCloudInterface::no_internet_connection);
    QElapsedTimer clock;
    clock.start();
    cloud.requestVersions(defaultBranch, false);

    QVERIFY(noInternet.wait(8000));
    // QTimer's default coarse accuracy allows 5 % either way.
    QVERIFY2(clock.elapsed() >= 5700 && clock.elapsed() < 7000,
             qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!noInternet.wait(1000));
    QCOMPARE(noInternet.count(), 1);
}

void TestReleaseCatalogue::quickToggleListsEachVersionOnce()
{
    QVERIFY(folder->writeCatalogue(defaultBranch, productXYZ(R"(, "isbeta": "true")")));
    ServerFaults faults;
    faults.delayMs = 300; // both answers are still on their way when the box is ticked again
    server->setFaults(faults);

    NVKCloudInterface cloud(server->baseUrl());
    QSignalSpy updateSpy(&cloud, &NVKCloudInterface::versions_update);
    cloud.requestVersions(defaultBranch, false);
    cloud.requestVersions(defaultBranch, true);
    WAIT_FOR_ANSWER(cloud);

    QCOMPARE(cloud.versionList, (QStringList{"X", "Y", "Z"}));
    QVERIFY(!updateSpy.wait(600)); // the first request's answer never lands
    QCOMPARE(cloud.versionList, (QStringList{"X", "Y", "Z"}));
    QCOMPARE(updateSpy.count(), 3);
}

void TestReleaseCatalogue::supersededAnswerNeitherFillsListNorStopsTimer()
{
    QVERIFY(folder->writeCatalogue(defaultBranch, productXYZ(QByteArray())));
    QVERIFY(folder->writeCatalogue(
        customBranch, R"([{"product": "Lumetra", "versions": [{"tag_name": "L1"}]}])"));
    ServerFaults faults;
    faults.pathContains = customBranch;
    faults.delayMs = 700; // the newer request is answered long after the older one would be
    server->setFaults(faults);

    NVKCloudInterface cloud(server->baseUrl());
    cloud.jsonTimeoutMs = 250;
    QSignalSpy noInternet(&cloud, &NVKCloudInterface::no_internet_connection);
    cloud.requestVersions(defaultBranch, false);
    cloud.requestVersions(customBranch, false);

    QVERIFY(noInternet.wait(2000));
    QVERIFY(cloud.versionList.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(cloud.versionList, QStringList{"L1"}, 5000);
    QCOMPARE(noInternet.count(), 1);
    QCOMPARE(cloud.releaseBranch, customBranch);
}

void TestReleaseCatalogue::repliesAreReleased()
{
    QVERIFY(folder->writeCatalogue(defaultBranch, productXYZ(QByteArray())));
    NVKCloudInterface cloud(server->baseUrl());
    for (int i = 0; i < 10; ++i) {
        cloud.requestVersions(defaultBranch, i % 2 == 0);
        if (i % 3 == 0)
            WAIT_FOR_ANSWER(cloud); // the others are superseded while in flight
    }
    WAIT_FOR_ANSWER(cloud);

    QTRY_COMPARE(cloud.findChildren<QNetworkReply *>().size(), 0);
    QCOMPARE(cloud.findChildren<QNetworkAccessManager *>().size(), 1);
    QCOMPARE(cloud.versionList, (QStringList{"X", "Y", "Z"}));
}

QTEST_GUILESS_MAIN(TestReleaseCatalogue)
#include "tst_releasecatalogue.moc"
