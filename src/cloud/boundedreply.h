// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "downloadfailure.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

class QNetworkReply;

// Holds one answer of the release server to its bounds while it runs and keeps its body as it
// arrives, so a server can never make the program wait or grow without end. Qt is let hold no
// more than a small read buffer of it, so the cap is checked before the memory is spent, however
// fast the answer comes. A body longer than
// maximumBytes (as announced by Content-Length, or as received), a reply silent for idleMs or
// still running after wholeMs is aborted at once. Once the reply has finished, failure() says
// why it brought nothing usable, or is no failure when a whole 200 or 203 answer came.
//
// Lifecycle: made a child of the reply right after the request is issued, so it goes when the
// reply is deleted. Its handlers run before those connected to the reply later, so the body is
// whole when the reply's owner sees finished().
class BoundedReply : public QObject
{
    Q_OBJECT

public:
    struct Limits
    {
        qint64 maximumBytes = 0;
        int idleMs = 0;  // 0: no limit on silence
        int wholeMs = 0; // 0: no limit on the whole reply
    };

    BoundedReply(QNetworkReply *reply, const Limits &limits);

    // The bounds of a reply made with the constructor; null for any other reply.
    static const BoundedReply *of(const QNetworkReply *reply);

    // What arrived, never more than maximumBytes; empty once the reply failed.
    const QByteArray &body() const { return received; }
    // No failure, but with the answer's HTTP status, for a whole 200 or 203 answer.
    DownloadFailure failure() const { return outcome; }

    static QString sizeText(qint64 bytes);
    static QString durationText(int ms);

private:
    void readArrived();
    void checkAnnouncedLength();
    void finish();
    void fail(const QString &code, const QString &detail);
    DownloadFailure classify() const;
    QString decompressionProblem() const;

    QNetworkReply *reply;
    const Limits limits;
    QByteArray received;
    DownloadFailure outcome;
    QString certificateProblem; // the first TLS error reported, if any
    QTimer idleTimer;
    QTimer wholeTimer;
};
