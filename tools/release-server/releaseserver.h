// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class QObject;
class QThread;
class ReleaseHttpServer;

// Misbehaviour to put on the answers, so tests can show how the client copes with a bad server.
// At most one kind of answer applies, in this order: neverAnswer, status, redirectTo, endlessBody,
// truncateTo; announcedLength, trickleMs and delayMs come on top of any of them.
struct ServerFaults
{
    QString
        pathContains; // fault applies only to requests whose path+query contains this (empty = all)
    int delayMs = 0;  // wait before answering
    int status = 0;   // non-zero: answer with this HTTP status and `body`
    QByteArray body;
    qint64 truncateTo =
        -1; // >= 0: send only the first N bytes of the real body (0 = empty body, status 200)
    // With truncateTo: Content-Length still promises the whole body, and the connection closes
    // after the bytes sent, as when the server dies mid-transfer.
    bool closeEarly = false;
    QString redirectTo;       // non-empty: answer 302 with this Location (path or absolute URL)
    bool neverAnswer = false; // accept the request and never answer
    // A 200 without Content-Length whose body never ends: bytes flow until the client hangs up.
    bool endlessBody = false;
    // >= 0: Content-Length announces this many bytes, whatever the body holds; the connection
    // then stays open, waiting for the rest.
    qint64 announcedLength = -1;
    // > 0: the body goes out one byte every trickleMs, so data keeps coming but never ends soon.
    int trickleMs = 0;
};

// Serves a release folder on 127.0.0.1 from a thread of its own, so it keeps answering while the
// thread that owns this object (a test's GUI thread, say) is blocked in serial I/O.
//
// Folder layout: <folder>/<branch path>/catalogue.json answers GET /<branch>/lumetrarelease/, its
// signature catalogue.json.minisig (when there is one) GET /<branch>/lumetrarelease.minisig, and
// <folder>/<branch path>/<value> answers GET /<branch>/lumetra.php?version=<value>.
class ReleaseServer
{
public:
    explicit ReleaseServer(const QString &releaseFolder);
    ~ReleaseServer();

    ReleaseServer(const ReleaseServer &) = delete;
    ReleaseServer &operator=(const ReleaseServer &) = delete;

    // Serves over TLS from now on: certificateFile holds the server's certificate in PEM, followed
    // by any intermediate ones; keyFile its private key in PEM (RSA or EC, unencrypted). Call it
    // before start(); false when either file cannot be read.
    bool useTls(const QString &certificateFile, const QString &keyFile);
    // Listens on 127.0.0.1 (0 = an ephemeral port); returns the port, 0 when it cannot listen.
    quint16 start(quint16 port = 0);
    // http://127.0.0.1:<port>, or https:// once TLS is on. A client checks the host against the
    // certificate, so TLS tests name the host the certificate was made for ("localhost").
    QString baseUrl(const QString &host = QStringLiteral("127.0.0.1")) const;
    quint16 port() const { return listeningPort; }

    // Thread-safe; each takes effect for the next request that arrives.
    void setFaults(const ServerFaults &faults);
    // One line per answered request on standard output (the program turns this on).
    void setLogging(bool enabled);

    // "/cust/lumetrarelease/", "/cust/lumetra.php?version=..." in arrival order (thread-safe).
    QStringList requests() const;
    void clearRequests();

private:
    QThread *thread = nullptr;
    QObject *threadAnchor = nullptr; // lives in `thread`: the context for work handed to it
    ReleaseHttpServer *server = nullptr;
    quint16 listeningPort = 0;
    bool tls = false;
};
