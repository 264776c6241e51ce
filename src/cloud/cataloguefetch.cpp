// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "cataloguefetch.h"

#include "boundedreply.h"
#include "releaselocation.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {

// The server's way of saying that no signature is published.
constexpr int httpNotFound = 404;

// A signature that is not there (a 404, or nothing at all) is an answer: the catalogue is then
// unsigned. Anything else that went wrong leaves the catalogue unchecked.
bool nothingPublished(const DownloadFailure &failure)
{
    return failure.code == DownloadFailure::empty ||
           (failure.code == DownloadFailure::httpStatusCode && failure.httpStatus == httpNotFound);
}

// Ends a request whose answer no longer counts: disconnected, so that answer is never taken,
// and deleted, which closes its connection. It is not aborted first: abort() records an error of
// its own, and when the network thread's own error for the reply is already queued, Qt warns on
// the terminal about the second one.
void endReply(QNetworkReply *reply, QObject *receiver)
{
    if (!reply)
        return;
    reply->disconnect(receiver);
    reply->deleteLater();
}

} // namespace

CatalogueFetch::CatalogueFetch(const QString &url, const Limits &bounds, bool withSignature,
                               QObject *parent)
    : QObject(parent), serverUrl(url), limits(bounds), signatureWanted(withSignature),
      network(new QNetworkAccessManager(this))
{
    // As for every request to the release server: never from https down to http.
    network->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

void CatalogueFetch::start(const QString &branch)
{
    received = {};
    outcome = {};
    done = false;
    const QUrl url = ReleaseLocation::url(serverUrl, branch, ReleaseLocation::Resource::Catalogue);
    catalogueAt = url.toDisplayString();
    catalogueReply = get(url, limits.maximumBytes);
    if (signatureWanted)
        signatureReply =
            get(ReleaseLocation::url(serverUrl, branch, ReleaseLocation::Resource::Signature),
                ReleaseSignature::maxSignatureBytes);
}

QNetworkReply *CatalogueFetch::get(const QUrl &url, qint64 maximumBytes)
{
    QNetworkReply *reply = network->get(QNetworkRequest(url));
    new BoundedReply(reply, {maximumBytes, 0, limits.wholeTimeoutMs});
    connect(reply, &QNetworkReply::finished, this, [this, reply] { answered(reply); });
    return reply;
}

void CatalogueFetch::answered(QNetworkReply *reply)
{
    reply->deleteLater();
    const BoundedReply *bounded = BoundedReply::of(reply);
    const DownloadFailure failure = bounded->failure();
    if (reply == signatureReply) {
        signatureReply = nullptr;
        if (!failure.isFailure())
            received.signature = bounded->body();
        else if (!nothingPublished(failure))
            received.signatureFailure = failure;
    } else if (reply == catalogueReply) {
        catalogueReply = nullptr;
        // A catalogue that did not come needs no signature: the answer is already known.
        if (failure.isFailure()) {
            outcome = failure;
            endReply(signatureReply, this);
            signatureReply = nullptr;
        } else {
            received.catalogue = bounded->body();
        }
    }
    if (!catalogueReply && !signatureReply)
        finish();
}

void CatalogueFetch::finish()
{
    if (done)
        return;
    done = true;
    emit finished();
}
