// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// The release catalogue: the beta rule, catalogue order, the NUL cut, the silent failures, the
// time-out, superseded requests and the signature, against the local release server.
#include "../support/privatesettings.h"
#include "nvkcloudinterface.h"
#include "releasefolder.h"
#include "releaseserver.h"
#include "signedcatalogue.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(ServerFaults)

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

// A version object with one firmware file for DOVUr3.
QByteArray version(const QByteArray &tag, const QByteArray &file, const QByteArray &flags = {})
{
    return R"({"tag_name": )" + tag + R"(, "DOVUr3_main_firmware": ")" + file + "\"" + flags + "}";
}

const QString fileKey = QStringLiteral("DOVUr3_main_firmware");

// The limits as built, but with the catalogue's time-out shortened.
NVKCloudInterface::Limits answerWithin(int jsonTimeoutMs)
{
    NVKCloudInterface::Limits limits;
    limits.jsonTimeoutMs = jsonTimeoutMs;
    return limits;
}

} // namespace

// Waits until the latest request has been answered and parsed: its timer stops then.
#define WAIT_FOR_ANSWER(cloud) QTRY_VERIFY_WITH_TIMEOUT(!(cloud).isWaitingForCatalogue(), 5000)

class TestReleaseCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void readsCatalogue_data();
    void readsCatalogue();
    void hostileCatalogueIsAbandoned_data();
    void hostileCatalogueIsAbandoned();
    void silentServerReportsOncePerExpiry_data();
    void silentServerReportsOncePerExpiry();
    void supersededAnswerNeitherFillsListNorStopsTimer();
    void signatureDecidesWhetherCatalogueCounts_data();
    void signatureDecidesWhetherCatalogueCounts();
    void refusedSignedCatalogueEndsQuietly();

private:
    // Made once: each costs a run of minisign.
    std::unique_ptr<TestSigningKey> makerKey;
    std::unique_ptr<TestSigningKey> strangerKey;
    std::unique_ptr<ReleaseFolder> folder;
    std::unique_ptr<ReleaseServer> server;
};

void TestReleaseCatalogue::initTestCase()
{
    usePrivateSettings(); // accepted signed catalogues are remembered there
    makerKey = std::make_unique<TestSigningKey>();
    strangerKey = std::make_unique<TestSigningKey>();
    QVERIFY2(makerKey->isValid(), qPrintable(makerKey->error()));
    QVERIFY2(strangerKey->isValid(), qPrintable(strangerKey->error()));
}

void TestReleaseCatalogue::init()
{
    // Whatever the server does, the client's own handling of its replies must never make Qt warn
    // (lumetra-flash users would read it on their terminal).
    QTest::failOnWarning(QRegularExpression(QStringLiteral("QNetworkReply")));
    folder = std::make_unique<ReleaseFolder>();
    server = std::make_unique<ReleaseServer>(folder->path());
    QVERIFY(server->start() != 0);
}

void TestReleaseCatalogue::readsCatalogue_data()
{
    QTest::addColumn<QByteArray>("catalogue"); // none: the server answers with its 404 page
    QTest::addColumn<bool>("showBetas");
    QTest::addColumn<QStringList>("versions"); // "tag" or "tag=file of DOVUr3", in list order
    // Including the one that every request makes at its start, while the list is empty.
    QTest::addColumn<int>("updates");

    const QByteArray prerelease = productXYZ(R"(, "prerelease": "true", "isbeta": "false")");
    const QByteArray beta = productXYZ(R"(, "prerelease": "false", "isbeta": "true")");
    const QStringList all{"X", "Y", "Z"};
    const QStringList released{"X", "Z"};

    QTest::newRow("pre-release hidden without betas") << prerelease << false << released << 2;
    QTest::newRow("beta hidden without betas") << beta << false << released << 2;
    QTest::newRow("beta listed with betas") << beta << true << all << 2;
    QTest::newRow("boolean true flags hide nothing")
        << productXYZ(R"(, "prerelease": true, "isbeta": true)") << false << all << 2;
    QTest::newRow("capitalised or padded true hides nothing")
        << productXYZ(R"(, "prerelease": "True", "isbeta": " true")") << false << all << 2;
    // Any key besides "product": "Lumetra" makes an object count, whatever product it names.
    QTest::newRow("objects count by their keys, not their product; catalogue order, not sorted")
        << QByteArray(R"([{"product": "Lumetra"},
            {"product": "Lumetra", "versions": [{"tag_name": "B"}, {"tag_name": "A"}]},
            {"product": "Spectra", "versions": [{"tag_name": "S1"}]}])")
        << false << QStringList{"B", "A", "S1"} << 3;

    QTest::newRow("NUL after the array parses")
        << oneProduct(R"({"tag_name": "A"})") + QByteArray("\0\0trailing padding {", 20) << false
        << QStringList{"A"} << 2;
    QTest::newRow("NUL inside the array does not parse")
        << oneProduct(R"({"tag_name": "A")" + QByteArray(1, '\0') + "}") << false << QStringList()
        << 1;
    QTest::newRow("invalid JSON") << QByteArray("[{\"product\": ") << false << QStringList() << 1;
    QTest::newRow("HTTP error page") << QByteArray() << true << QStringList() << 1;

    // Only a version with a tag that can be shown and chosen is listed, and each tag once, with
    // the files that a download of it would fetch.
    QTest::newRow("tags that are no non-empty string are skipped")
        << oneProduct(version("1", "number.bin") + ',' + version(R"(["A"])", "array.bin") + ',' +
                      version("null", "null.bin") + ',' + version("true", "bool.bin") + ',' +
                      version(R"({"t": "A"})", "object.bin") + ',' + version(R"("")", "empty.bin") +
                      R"(, {"DOVUr3_main_firmware": "missing.bin"}, )" + version(R"("B")", "b.bin"))
        << false << QStringList{"B=b.bin"} << 2;
    // The window preselects the last item: it is still the version it was.
    QTest::newRow("a tag twice: once, where the later entry stands, with its files")
        << oneProduct(version(R"("A")", "a1.bin") + ',' + version(R"("B")", "b.bin") + ',' +
                      version(R"("A")", "a2.bin"))
        << false << QStringList{"B=b.bin", "A=a2.bin"} << 2;
    QTest::newRow("a tag twice across product objects")
        << QByteArray(R"([{"product": "Lumetra", "versions": [)" + version(R"("A")", "a1.bin") +
                      R"(]}, {"product": "Lumetra", "versions": [)" + version(R"("B")", "b.bin") +
                      ',' + version(R"("A")", "a2.bin") + "]}]")
        << false << QStringList{"B=b.bin", "A=a2.bin"} << 3;
    const QByteArray hiddenTwin = oneProduct(version(R"("A")", "a1.bin") + ',' +
                                             version(R"("A")", "a2.bin", R"(, "isbeta": "true")"));
    QTest::newRow("a hidden beta does not replace the release of its tag")
        << hiddenTwin << false << QStringList{"A=a1.bin"} << 2;
    QTest::newRow("a shown beta replaces it") << hiddenTwin << true << QStringList{"A=a2.bin"} << 2;
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

    QStringList listed;
    for (const QString &tag : cloud.versions()) {
        const QString file = cloud.entry(tag).value(fileKey);
        listed.append(file.isEmpty() ? tag : tag + '=' + file);
    }
    QCOMPARE(listed, versions);
    // Nothing is kept under a tag that is not listed, the empty one above all.
    QVERIFY(cloud.entry(QString()).members().isEmpty());
    QCOMPARE(updateSpy.count(), updates);
    // The timer stopped because the answer came, and an unusable one is not reported.
    QCOMPARE(noInternet.count(), 0);
}

// A catalogue that never ends, announces more than any catalogue is, or trickles on is abandoned
// with its reason; the 6 s line of the window still comes from jsonTimer alone. Limits are
// shortened where the real ones would make the test slow. How each HTTP status and a refused
// connection end an answer is the download's table (tst_firmwaredownload): both are told by
// BoundedReply, and the catalogue passes its failure on as it is.
void TestReleaseCatalogue::hostileCatalogueIsAbandoned_data()
{
    QTest::addColumn<ServerFaults>("faults");
    QTest::addColumn<qint64>("maximumBytes"); // 0: as built
    QTest::addColumn<int>("wholeMs");         // 0: as built
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("detail");
    QTest::addColumn<int>("noInternet");

    ServerFaults endless;
    endless.endlessBody = true;
    ServerFaults hugeLength;
    hugeLength.announcedLength = Q_INT64_C(3) << 29; // 1.5 GiB
    ServerFaults trickle;
    trickle.trickleMs = 10;
    const QString tooLarge = QStringLiteral("too-large");

    QTest::newRow("endless, passing 64 KiB as it arrives")
        << endless << qint64(64 * 1024) << 0 << tooLarge << "larger than 64 KiB" << 0;
    QTest::newRow("Content-Length of 1.5 GiB, before any byte")
        << hugeLength << qint64(0) << 0 << tooLarge << "larger than 8 MiB" << 0;
    // Still running when the window's 150 ms line comes, and abandoned at 400 ms.
    QTest::newRow("trickling past the whole limit") << trickle << qint64(0) << 400 << "timeout"
                                                    << "not complete after 400 ms" << 1;
}

void TestReleaseCatalogue::hostileCatalogueIsAbandoned()
{
    QFETCH(ServerFaults, faults);
    QFETCH(qint64, maximumBytes);
    QFETCH(int, wholeMs);
    QFETCH(QString, reason);
    QFETCH(QString, detail);
    QFETCH(int, noInternet);
    QVERIFY(folder->writeCatalogue(defaultBranch, productXYZ(QByteArray())));
    server->setFaults(faults);

    NVKCloudInterface cloud(server->baseUrl());
    NVKCloudInterface::Limits limits = answerWithin(150);
    if (maximumBytes != 0)
        limits.maximumCatalogueBytes = maximumBytes;
    if (wholeMs != 0)
        limits.wholeCatalogueTimeoutMs = wholeMs;
    cloud.setLimits(limits);
    QSignalSpy failed(&cloud, &NVKCloudInterface::catalogue_failed);
    QSignalSpy noInternetSpy(&cloud, &NVKCloudInterface::no_internet_connection);
    cloud.requestVersions(defaultBranch, false);
    QVERIFY(failed.wait(5000));

    const DownloadFailure why = failed.first().first().value<DownloadFailure>();
    QCOMPARE(why.code, reason);
    QCOMPARE(why.detail, detail);
    QVERIFY(cloud.versions().isEmpty());
    QCOMPARE(noInternetSpy.count(), noInternet);
    QVERIFY(!cloud.isWaitingForCatalogue());
    QTRY_COMPARE(cloud.findChildren<QNetworkReply *>().size(), 0);
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
        cloud.setLimits(answerWithin(timeoutMs));
    const int limitMs = cloud.limits().jsonTimeoutMs;
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
    cloud.setLimits(answerWithin(250));
    QSignalSpy noInternet(&cloud, &NVKCloudInterface::no_internet_connection);
    cloud.requestVersions(defaultBranch, false);
    cloud.requestVersions(slowBranch, true);

    QVERIFY(noInternet.wait(2000));
    QVERIFY(cloud.versions().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(cloud.versions(), QStringList{"L1"}, 5000);
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
    QCOMPARE(cloud.versions(), QStringList{"L1"});
    QTRY_COMPARE(cloud.findChildren<QNetworkReply *>().size(), 0);
    QCOMPARE(cloud.findChildren<QNetworkAccessManager *>().size(), 1);
}

// With a trusted key the catalogue counts only when its signature verifies over the bytes exactly
// as served; anything else lists nothing and says why. Without a key the signature is not even
// asked for, and the catalogue is read as it always was.
void TestReleaseCatalogue::signatureDecidesWhetherCatalogueCounts_data()
{
    QTest::addColumn<bool>("trusting"); // the client is given the maker's key
    QTest::addColumn<Signing>("signing");
    QTest::addColumn<QByteArray>("appended"); // to the catalogue after signing
    QTest::addColumn<ServerFaults>("faults");
    QTest::addColumn<QString>("reason"); // empty: the catalogue is listed

    const QByteArray nothing;
    const ServerFaults none;
    ServerFaults signatureError;
    signatureError.pathContains = QStringLiteral(".minisig");
    signatureError.status = 500;
    signatureError.body = "<html>internal error</html>";
    ServerFaults endlessSignature;
    endlessSignature.pathContains = QStringLiteral(".minisig");
    endlessSignature.endlessBody = true;
    const QString changed = QStringLiteral("its signature does not match it: it was changed after "
                                           "signing");

    QTest::newRow("good signature") << true << Signing::Good << nothing << none << QString();
    // Padding that the parser would cut off at the NUL is still bytes the maker did not sign.
    QTest::newRow("NUL padding appended after signing")
        << true << Signing::Good << QByteArray("\0\0\0", 3) << none << changed;
    QTest::newRow("no signature published") << true << Signing::Unsigned << nothing << none
                                            << QStringLiteral("no signature was published for it");
    QTest::newRow("signature answered with HTTP 500")
        << true << Signing::Good << nothing << signatureError
        << QStringLiteral("its signature could not be fetched (server answered HTTP 500)");
    QTest::newRow("signature without end")
        << true << Signing::Good << nothing << endlessSignature
        << QStringLiteral("its signature could not be fetched (larger than 16 KiB)");
    QTest::newRow("no key: another key's signature is not read")
        << false << Signing::OtherKey << nothing << none << QString();
}

void TestReleaseCatalogue::signatureDecidesWhetherCatalogueCounts()
{
    QFETCH(bool, trusting);
    QFETCH(Signing, signing);
    QFETCH(QByteArray, appended);
    QFETCH(ServerFaults, faults);
    QFETCH(QString, reason);
    const QByteArray catalogue = productXYZ(QByteArray());
    QVERIFY(folder->writeCatalogue(defaultBranch, catalogue));
    QVERIFY2(signAs(*folder, defaultBranch, signing, *makerKey, *strangerKey),
             qPrintable(makerKey->error() + strangerKey->error()));
    if (!appended.isEmpty())
        QVERIFY(folder->writeCatalogue(defaultBranch, catalogue + appended));
    server->setFaults(faults);

    NVKCloudInterface cloud(server->baseUrl(),
                            trusting ? ReleaseTrust(trustedKeysOf(*makerKey)) : ReleaseTrust());
    QCOMPARE(cloud.requiresSignature(), trusting);
    QSignalSpy received(&cloud, &NVKCloudInterface::catalogue_received);
    QSignalSpy failed(&cloud, &NVKCloudInterface::catalogue_failed);
    cloud.requestVersions(defaultBranch, false);
    QVERIFY((reason.isEmpty() ? received : failed).wait(5000));

    const DownloadFailure why =
        failed.isEmpty() ? DownloadFailure() : failed.first().first().value<DownloadFailure>();
    QCOMPARE(why.code, reason.isEmpty() ? QString() : QStringLiteral("untrusted"));
    QCOMPARE(why.detail, reason);
    QCOMPARE(cloud.versions(), reason.isEmpty() ? QStringList({"X", "Y", "Z"}) : QStringList());
    const bool verified = trusting && reason.isEmpty();
    QCOMPARE(cloud.catalogueSignature().ok(), verified);
    if (verified)
        QCOMPARE(cloud.catalogueSignature().keyId, trustedKeysOf(*makerKey).value(0).idText());
    QStringList requests{"/cust/lumetrarelease/"};
    if (trusting)
        requests.append("/cust/lumetrarelease.minisig");
    QStringList arrived = server->requests();
    // Issued together, so they may arrive in either order.
    arrived.sort();
    requests.sort();
    QCOMPARE(arrived, requests);
    QVERIFY(!cloud.isWaitingForCatalogue());
    QTRY_COMPARE(cloud.findChildren<QNetworkReply *>().size(), 0);
}

void TestReleaseCatalogue::refusedSignedCatalogueEndsQuietly()
{
    // Catalogue and signature are both in flight and both refused at once: putting the second
    // aside once the first has failed must not make Qt warn (init() fails the test on that).
    NVKCloudInterface cloud(QStringLiteral("http://127.0.0.1:9"),
                            ReleaseTrust(trustedKeysOf(*makerKey)));
    QSignalSpy failed(&cloud, &NVKCloudInterface::catalogue_failed);
    cloud.requestVersions(defaultBranch, false);
    QVERIFY(failed.wait(5000));
    QCOMPARE(failed.first().first().value<DownloadFailure>().code, QStringLiteral("connection"));
    QTRY_COMPARE(cloud.findChildren<QNetworkReply *>().size(), 0);
}

QTEST_GUILESS_MAIN(TestReleaseCatalogue)
#include "tst_releasecatalogue.moc"
