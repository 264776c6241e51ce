// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "releaseserver.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QDir>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QStringList>

class QUrl;

// The HTTP side of ReleaseServer. It lives on the server's thread; setFaults, requests and
// setLogging may be called from any thread.
//
// Branches can be several path segments ("labs/rf-team"), which the router's one-segment
// placeholders cannot express, so requests are answered directly in handleRequest.
class ReleaseHttpServer : public QAbstractHttpServer
{
    Q_OBJECT

public:
    explicit ReleaseHttpServer(const QString &releaseFolder, QObject *parent = nullptr);

    void setFaults(const ServerFaults &faults);
    void setLogging(bool enabled);
    QStringList requests() const;
    void clearRequests();

    struct Answer
    {
        int status = 200;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        qint64 contentLength = -1; // the length announced, when it is not the body's
        bool closeAfterBody = false;
        bool endless = false; // no length; the body repeats until the client hangs up
        int trickleMs = 0;    // > 0: one byte of the body every trickleMs
    };

    // The answer of a well-behaved server to GET <target> (path and query, unfaulted).
    Answer answerFor(const QUrl &url) const;

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    QString fileFor(const QString &branch, const QString &relativePath) const;
    ServerFaults faultsFor(const QString &target) const;
    void logAnswer(const QString &target, const Answer &answer) const;

    QDir root;
    mutable QMutex mutex; // guards the members below
    ServerFaults faults;
    QStringList requestLog;
    bool logging = false;
};
