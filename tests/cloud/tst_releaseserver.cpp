// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// The local release server itself: the folder layout it serves, what it refuses, and that a
// fault hits only the requests it names. Requests go over a raw socket so that the target
// reaches the server exactly as written, ".." segments included.
#include "releasefolder.h"
#include "releaseserver.h"

#include <QFile>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct RawAnswer
{
    int status = 0;
    QByteArray body;
};

// One HTTP/1.1 GET on a fresh connection, read until the server closes it or the body is in.
RawAnswer rawGet(quint16 port, const QByteArray &target)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(2000))
        return {};
    socket.write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QByteArray data;
    qsizetype headerEnd = -1;
    qsizetype length = -1;
    while (socket.waitForReadyRead(2000)) {
        data += socket.readAll();
        headerEnd = data.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            continue;
        const qsizetype lengthAt = data.toLower().indexOf("content-length:");
        if (lengthAt >= 0 && lengthAt < headerEnd)
            length = data.mid(lengthAt + 15, data.indexOf("\r\n", lengthAt) - lengthAt - 15)
                         .trimmed()
                         .toLongLong();
        if (length >= 0 && data.size() - headerEnd - 4 >= length)
            break;
    }
    RawAnswer answer;
    answer.status = data.mid(9, 3).toInt(); // "HTTP/1.1 200 OK"
    if (headerEnd >= 0)
        answer.body = data.mid(headerEnd + 4);
    return answer;
}

} // namespace

class TestReleaseServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void servesLayout_data();
    void servesLayout();
    void faultHitsOnlyNamedRequests();
    void logsRequestsInOrder();

private:
    ReleaseFolder folder;
    QTemporaryDir outside; // a file beside the release folder that must stay out of reach
    std::unique_ptr<ReleaseServer> server;
};

void TestReleaseServer::initTestCase()
{
    QVERIFY(folder.writeCatalogue("cust", "[\"cust\"]"));
    QVERIFY(folder.writeCatalogue("labs/rf-team", "[\"labs\"]"));
    QVERIFY(folder.writeFile("cust", "main.bin", "cust main"));
    QVERIFY(folder.writeFile("cust", "sub/part.bin", "cust part"));
    QVERIFY(folder.writeFile("labs/rf-team", "labs.bin", "labs file"));
    QFile secret(outside.filePath("secret.bin"));
    QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write("secret") == 6);
    secret.close();
    QVERIFY(QFile::link(secret.fileName(), folder.path() + "/cust/link.bin"));

    server = std::make_unique<ReleaseServer>(folder.path());
    QVERIFY(server->start() != 0);
    QCOMPARE(server->baseUrl(), "http://127.0.0.1:" + QString::number(server->port()));
}

void TestReleaseServer::servesLayout_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("catalogue of the standard branch")
        << QByteArray("/cust/lumetrarelease/") << 200 << QByteArray("[\"cust\"]");
    QTest::newRow("catalogue of a two-segment branch")
        << QByteArray("/labs/rf-team/lumetrarelease/") << 200 << QByteArray("[\"labs\"]");
    QTest::newRow("firmware file")
        << QByteArray("/cust/lumetra.php?version=main.bin") << 200 << QByteArray("cust main");
    QTest::newRow("firmware file in a subfolder")
        << QByteArray("/cust/lumetra.php?version=sub/part.bin") << 200 << QByteArray("cust part");
    QTest::newRow("firmware file of a two-segment branch")
        << QByteArray("/labs/rf-team/lumetra.php?version=labs.bin") << 200
        << QByteArray("labs file");

    const QByteArray notFound("Not found\n");
    QTest::newRow("unknown file") << QByteArray("/cust/lumetra.php?version=none.bin") << 404
                                  << notFound;
    QTest::newRow("unknown branch") << QByteArray("/beta/lumetrarelease/") << 404 << notFound;
    QTest::newRow("branch without catalogue")
        << QByteArray("/labs/lumetrarelease/") << 404 << notFound;
    QTest::newRow("empty branch") << QByteArray("//lumetrarelease/") << 404 << notFound;
    QTest::newRow("parent segment in the value")
        << QByteArray("/cust/lumetra.php?version=../labs/rf-team/labs.bin") << 404 << notFound;
    QTest::newRow("encoded parent segment in the value")
        << QByteArray("/cust/lumetra.php?version=%2E%2E%2Flabs%2Frf-team%2Flabs.bin") << 404
        << notFound;
    QTest::newRow("parent segment in the branch")
        << QByteArray("/cust/../labs/rf-team/lumetrarelease/") << 404 << notFound;
    QTest::newRow("absolute path as value")
        << QByteArray("/cust/lumetra.php?version=/etc/hostname") << 404 << notFound;
    QTest::newRow("link out of the folder")
        << QByteArray("/cust/lumetra.php?version=link.bin") << 404 << notFound;
    QTest::newRow("folder as value")
        << QByteArray("/cust/lumetra.php?version=sub") << 404 << notFound;
    QTest::newRow("script without version")
        << QByteArray("/cust/lumetra.php") << 400 << QByteArray("Missing version\n");
    QTest::newRow("other path") << QByteArray("/cust/catalogue.json") << 404 << notFound;
}

void TestReleaseServer::servesLayout()
{
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    const RawAnswer answer = rawGet(server->port(), target);
    QCOMPARE(answer.status, status);
    QCOMPARE(answer.body, body);
}

void TestReleaseServer::faultHitsOnlyNamedRequests()
{
    ServerFaults faults;
    faults.pathContains = "main.bin";
    faults.status = 503;
    faults.body = "busy";
    server->setFaults(faults);
    const RawAnswer faulted = rawGet(server->port(), "/cust/lumetra.php?version=main.bin");
    const RawAnswer spared = rawGet(server->port(), "/cust/lumetrarelease/");
    server->clearFaults();
    const RawAnswer cleared = rawGet(server->port(), "/cust/lumetra.php?version=main.bin");

    QCOMPARE(faulted.status, 503);
    QCOMPARE(faulted.body, QByteArray("busy"));
    QCOMPARE(spared.status, 200);
    QCOMPARE(cleared.status, 200);
    QCOMPARE(cleared.body, QByteArray("cust main"));
}

void TestReleaseServer::logsRequestsInOrder()
{
    server->clearRequests();
    rawGet(server->port(), "/labs/rf-team/lumetrarelease/");
    rawGet(server->port(), "/cust/lumetra.php?version=main.bin");
    QCOMPARE(server->requests(),
             (QStringList{"/labs/rf-team/lumetrarelease/", "/cust/lumetra.php?version=main.bin"}));
}

QTEST_GUILESS_MAIN(TestReleaseServer)
#include "tst_releaseserver.moc"
