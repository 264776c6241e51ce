// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "downloadfailure.h"
#include "releasetrust.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// Fetches a release branch's catalogue and, when asked, the signature published beside it, both
// as the bytes the server sent, for ReleaseTrust to judge. Every catalogue request goes through
// here (the client's and the one that saves a release to a folder), under one set of bounds:
// Limits below. Nothing is parsed or checked here.
//
// Lifecycle: one network access manager lives as long as the object; finished() comes once,
// when the catalogue failed or both answers have ended.
class CatalogueFetch : public QObject
{
    Q_OBJECT

public:
    // The bounds of every catalogue request. There is no bound on a pause in the data: a
    // catalogue that is slow to come is still listed when it comes (the window only says, after
    // a few seconds, that it has not yet). The whole answer's time and size bound it instead.
    struct Limits
    {
        int wholeTimeoutMs = 60 * 1000;
        // A catalogue of thousands of versions still fits.
        qint64 maximumBytes = 8 * 1024 * 1024;
    };

    CatalogueFetch(const QString &serverUrl, const Limits &limits, bool withSignature,
                   QObject *parent = nullptr);

    void start(const QString &branch);

    // What came: the catalogue, and the signature or why it could not be fetched.
    const ReleaseTrust::Answer &answer() const { return received; }
    // Why the catalogue could not be fetched; no failure otherwise.
    DownloadFailure failure() const { return outcome; }
    // The address of the catalogue.
    QString catalogueUrl() const { return catalogueAt; }

signals:
    void finished();

private:
    QNetworkReply *get(const QUrl &url, qint64 maximumBytes);
    void answered(QNetworkReply *reply);
    void finish();

    QString serverUrl;
    Limits limits;
    bool signatureWanted;
    QNetworkAccessManager *network;
    QPointer<QNetworkReply> catalogueReply;
    QPointer<QNetworkReply> signatureReply;
    ReleaseTrust::Answer received;
    DownloadFailure outcome;
    QString catalogueAt;
    bool done = false;
};
