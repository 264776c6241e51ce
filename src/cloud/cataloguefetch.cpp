// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "cataloguefetch.h"

#include "boundedreply.h"
#include "releasesignature.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {

const QString cataloguePath = QStringLiteral("/lumetrarelease/");
const QString signaturePath = QStringLiteral("/lumetrarelease.minisig");
// The server's way of saying that no signature is published.
constexpr int httpNotFound = 404;

} // namespace

CatalogueFetch::CatalogueFetch(const QString &url, QObject *parent)
    : QObject(parent), serverUrl(url), network(new QNetworkAccessManager(this))
{
    // As for every request to the release server: never from https down to http.
    network->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

void CatalogueFetch::start(const QString &branch)
{
    catalogueBody.clear();
    signatureBody.clear();
    outcome = {};
    failedAt.clear();
    pending = 2;
    catalogueReply = get(branch + cataloguePath, maximumCatalogueBytes);
    signatureReply = get(branch + signaturePath, ReleaseSignature::maxSignatureBytes);
}

QNetworkReply *CatalogueFetch::get(const QString &path, qint64 maximumBytes)
{
    const QUrl url(serverUrl + QLatin1Char('/') + path, QUrl::TolerantMode);
    QNetworkReply *reply = network->get(QNetworkRequest(url));
    new BoundedReply(reply, {maximumBytes, idleTimeoutMs, wholeTimeoutMs});
    connect(reply, &QNetworkReply::finished, this, [this, reply] { answered(reply); });
    return reply;
}

void CatalogueFetch::answered(QNetworkReply *reply)
{
    const BoundedReply *bounded = BoundedReply::of(reply);
    const DownloadFailure failure = bounded->failure();
    const bool isSignature = reply == signatureReply;
    const bool noSignature = isSignature && failure.httpStatus == httpNotFound;
    if (failure.isFailure() && !noSignature) {
        // The first failure is the one to report; the other answer no longer matters.
        if (!outcome.isFailure()) {
            outcome = failure;
            failedAt = reply->url().toDisplayString();
        }
    } else if (!failure.isFailure()) {
        (isSignature ? signatureBody : catalogueBody) = bounded->body();
    }
    if (--pending > 0)
        return;
    catalogueReply->deleteLater();
    signatureReply->deleteLater();
    emit finished();
}
