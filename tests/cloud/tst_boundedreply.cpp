// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// The bounds of the release server's answers against a server that floods them at loopback
// speed: the client must refuse each kind of answer before the memory is spent, which is shown
// by running it (bounded-client) under an address-space limit that a client taking in the whole
// answer cannot survive. And an answer that cannot be decompressed must say what failed.
#include "floodserver.h"
#include "nvkcloudinterface.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTest>

namespace {

constexpr std::uint64_t floodBytes = std::uint64_t(3) * 1024 * 1024 * 1024;
// The client needs about 400 MiB of address space to run at all (libraries, thread stacks and
// malloc arenas of Qt's network thread); taking in a flood of even a few hundred MiB passes it.
const QString addressSpaceMib = QStringLiteral("640");
constexpr int clientEndMs = 60 * 1000;
const std::string catalogue =
    R"([{"product":"Lumetra","versions":[{"tag_name":"1.0.0","prerelease":"false",)"
    R"("isbeta":"false","ABCDEFfirmware":"image.bin"}]}])";

} // namespace

class BoundedReplyTest : public QObject
{
    Q_OBJECT

private slots:
    void floodIsRefusedUnderAddressSpaceLimit_data();
    void floodIsRefusedUnderAddressSpaceLimit();
    void undecompressableAnswerSaysWhatFailed_data();
    void undecompressableAnswerSaysWhatFailed();
};

void BoundedReplyTest::floodIsRefusedUnderAddressSpaceLimit_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("flooded"); // which answer of the three is the flood
    QTest::newRow("catalogue") << QStringLiteral("catalogue") << 0;
    QTest::newRow("signature") << QStringLiteral("signature") << 1;
    QTest::newRow("image") << QStringLiteral("image") << 2;
}

void BoundedReplyTest::floodIsRefusedUnderAddressSpaceLimit()
{
    QFETCH(QString, kind);
    QFETCH(int, flooded);
    std::vector<FloodServer::Answer> answers{
        {"/lumetrarelease/", catalogue, 0, std::string()},
        {"lumetrarelease.minisig", std::string(), 0, std::string()},
        {"lumetra.php", std::string(), 0, std::string()},
    };
    answers[std::size_t(flooded)].floodBytes = floodBytes;
    // The signature's answer must come before the catalogue's, whose text it holds.
    std::swap(answers[0], answers[1]);
    FloodServer server(answers);
    QVERIFY(server.port() != 0);

    QProcess client;
    client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    client.start(QStringLiteral(BOUNDED_CLIENT_PATH),
                 {kind, QString::fromStdString(server.baseUrl()), addressSpaceMib});
    QVERIFY(client.waitForFinished(clientEndMs));
    const QByteArray output = client.readAllStandardOutput();
    QCOMPARE(client.exitStatus(), QProcess::NormalExit);
    QCOMPARE(client.exitCode(), 0);
    // The signature's failure is told as the catalogue's distrust, with the same cause.
    QVERIFY2(output.startsWith("failed ") && output.contains("larger than "), output.constData());
}

void BoundedReplyTest::undecompressableAnswerSaysWhatFailed_data()
{
    QTest::addColumn<QByteArray>("encoding");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("named");
    const QByteArray plain = "plain text that says it is compressed";
    // deflate is a zlib stream: what qCompress() makes after its four-byte length.
    constexpr qsizetype bombBytes = 64 * 1024 * 1024;
    const QByteArray bomb = qCompress(QByteArray(bombBytes, '['), 9).mid(4);
    QTest::newRow("not gzip") << QByteArray("gzip") << plain
                              << QStringLiteral("compressed with gzip, could not be decompressed");
    QTest::newRow("not deflate") << QByteArray("deflate") << plain
                                 << QStringLiteral(
                                        "compressed with deflate, could not be decompressed");
    // Qt's own ratio check stops a bomb; an answer that unpacks past the cap at an ordinary
    // ratio is stopped by the cap, as it is read.
    QTest::newRow("a deflate bomb")
        << QByteArray("deflate") << bomb << QStringLiteral("could not be decompressed");
    constexpr qsizetype randomBytes = 5 * 1024 * 1024;
    QByteArray random(randomBytes, Qt::Uninitialized);
    QRandomGenerator generator(1);
    generator.fillRange(reinterpret_cast<quint32 *>(random.data()), randomBytes / 4);
    QTest::newRow("unpacks past the cap")
        << QByteArray("deflate") << qCompress(random.toHex()).mid(4)
        << QStringLiteral("larger than 8 MiB");
}

void BoundedReplyTest::undecompressableAnswerSaysWhatFailed()
{
    QFETCH(QByteArray, encoding);
    QFETCH(QByteArray, body);
    QFETCH(QString, named);
    FloodServer server({{"/lumetrarelease/", body.toStdString(), 0,
                         "Content-Encoding: " + encoding.toStdString() + "\r\n"}});
    NVKCloudInterface cloud(QString::fromStdString(server.baseUrl()));
    QSignalSpy failed(&cloud, &NVKCloudInterface::catalogue_failed);
    cloud.requestVersions(QStringLiteral("cust"), false);
    QVERIFY(failed.wait());
    const auto failure = failed.first().first().value<DownloadFailure>();
    QVERIFY2(failure.detail.contains(named), qPrintable(failure.detail));
}

QTEST_GUILESS_MAIN(BoundedReplyTest)
#include "tst_boundedreply.moc"
