// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "downloadfailure.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// Fetches a release branch's catalogue and the signature published beside it, both as the bytes
// the server sent, for a copy that must stay exactly as served (a release bundle). Nothing is
// parsed or checked here; each answer is bounded in size and time as it arrives.
//
// Lifecycle: one network access manager lives as long as the object; the two replies are deleted
// once both have ended, when finished() is emitted.
class CatalogueFetch : public QObject
{
    Q_OBJECT

public:
    explicit CatalogueFetch(const QString &serverUrl, QObject *parent = nullptr);

    void start(const QString &branch);

    const QByteArray &catalogue() const { return catalogueBody; }
    // Empty when the server publishes none (answers 404).
    const QByteArray &signature() const { return signatureBody; }
    // Why the catalogue or its signature could not be fetched; no failure otherwise.
    DownloadFailure failure() const { return outcome; }
    // The address of the answer that failed.
    QString failedUrl() const { return failedAt; }

    // The same bounds as the window's catalogue request: an answer silent this long, or not
    // complete after wholeTimeoutMs, or larger than maximumCatalogueBytes, fails.
    int idleTimeoutMs = 6000;
    int wholeTimeoutMs = 60 * 1000;
    qint64 maximumCatalogueBytes = 8 * 1024 * 1024;

signals:
    void finished();

private:
    QNetworkReply *get(const QString &path, qint64 maximumBytes);
    void answered(QNetworkReply *reply);

    QString serverUrl;
    QNetworkAccessManager *network;
    QPointer<QNetworkReply> catalogueReply;
    QPointer<QNetworkReply> signatureReply;
    QByteArray catalogueBody;
    QByteArray signatureBody;
    DownloadFailure outcome;
    QString failedAt;
    int pending = 0;
};
