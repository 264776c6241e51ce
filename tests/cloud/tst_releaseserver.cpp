// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// The local release server keeps requests inside its release folder. Requests go over a raw
// socket so that the target reaches the server exactly as written, ".." segments included.
#include "releasefolder.h"
#include "releaseserver.h"

#include <QFile>
#include <QTcpSocket>
#include <QTest>

class TestReleaseServer : public QObject
{
    Q_OBJECT

private slots:
    void servesOnlyTheReleaseFolder_data();
    void servesOnlyTheReleaseFolder();
};

void TestReleaseServer::servesOnlyTheReleaseFolder_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("answer"); // status line and body

    const QByteArray notFound("404 Not Found\r\nNot found\n");
    QTest::newRow("catalogue of a two-segment branch")
        << QByteArray("/labs/rf-team/lumetrarelease/") << QByteArray("200 OK\r\n[\"labs\"]");
    QTest::newRow("signature beside the catalogue")
        << QByteArray("/labs/rf-team/lumetrarelease.minisig") << QByteArray("200 OK\r\nsigned");
    QTest::newRow("signature of a branch that publishes none")
        << QByteArray("/cust/lumetrarelease.minisig") << notFound;
    QTest::newRow("firmware file in a subfolder")
        << QByteArray("/cust/lumetra.php?version=sub/part.bin") << QByteArray("200 OK\r\npart");
    // The value is decoded once, as the real server's script does. How the client's encoding of
    // "&", "#", "+", "%", spaces and UTF-8 comes back as exactly that file, decoded once, is
    // shown end to end by tst_firmwaredownload, whose decoys catch a name cut or decoded twice;
    // a raw plus the client never sends.
    QTest::newRow("a raw plus is a space")
        << QByteArray("/cust/lumetra.php?version=x+y.bin") << QByteArray("200 OK\r\nspaced");
    QTest::newRow("encoded parent segment in the value")
        << QByteArray("/cust/lumetra.php?version=%2E%2E%2Flabs%2Frf-team%2Fcatalogue.json")
        << notFound;
    QTest::newRow("parent segment in the branch")
        << QByteArray("/cust/../labs/rf-team/lumetrarelease/") << notFound;
    QTest::newRow("absolute path as value")
        << QByteArray("/cust/lumetra.php?version=/etc/hostname") << notFound;
    QTest::newRow("link out of the folder")
        << QByteArray("/cust/lumetra.php?version=link.bin") << notFound;
    QTest::newRow("script without version")
        << QByteArray("/cust/lumetra.php") << QByteArray("400 Bad Request\r\nMissing version\n");
}

void TestReleaseServer::servesOnlyTheReleaseFolder()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, answer);
    ReleaseFolder folder;
    QVERIFY(folder.writeCatalogue("labs/rf-team", "[\"labs\"]"));
    QVERIFY(folder.writeSignature("labs/rf-team", "signed"));
    QVERIFY(folder.writeFile("cust", "sub/part.bin", "part"));
    QVERIFY(folder.writeFile("cust", "x y.bin", "spaced"));
    QVERIFY(folder.writeFile("cust", "x+y.bin", "plus"));
    // A file outside the release folder that must stay out of reach.
    QVERIFY(QFile::link("/etc/passwd", folder.path() + "/cust/link.bin"));
    ReleaseServer server(folder.path());
    QVERIFY(server.start() != 0);

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(socket.waitForConnected(2000));
    socket.write("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    // "HTTP/1.1 200 OK\r\n<headers>\r\n\r\n<body>" read as "200 OK\r\n<body>"
    QByteArray reply;
    const auto statusAndBody = [&]() -> QByteArray {
        reply += socket.readAll();
        return reply.mid(9, reply.indexOf("\r\n") - 7) + reply.mid(reply.indexOf("\r\n\r\n") + 4);
    };
    QTRY_COMPARE_WITH_TIMEOUT(statusAndBody(), answer, 3000);
}

QTEST_GUILESS_MAIN(TestReleaseServer)
#include "tst_releaseserver.moc"
