// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "releaselocation.h"

#include <QUrlQuery>

namespace {
const QString cataloguePath = QStringLiteral("/lumetrarelease/");
const QString signaturePath = QStringLiteral("/lumetrarelease.minisig");
const QString scriptPath = QStringLiteral("/lumetra.php");
const QString versionQueryKey = QStringLiteral("version");
// Kept as it is in the query value: a file in a subfolder of the branch has always been named so,
// and a slash means nothing special inside a query.
const QByteArray keptInFileValue = QByteArrayLiteral("/");
} // namespace

QUrl ReleaseLocation::url(const QString &serverUrl, const QString &branch, Resource resource,
                          const QString &fileValue)
{
    const QString base = serverUrl + QLatin1Char('/') + branch;
    switch (resource) {
    case Resource::Catalogue:
        return QUrl(base + cataloguePath, QUrl::TolerantMode);
    case Resource::Signature:
        return QUrl(base + signaturePath, QUrl::TolerantMode);
    case Resource::Firmware:
        break;
    }
    // The file value is one query value: "&", "#", "+", "%" or a space in it are data for the
    // server, never a second parameter, a fragment or an escape of its own.
    QUrl url(base + scriptPath, QUrl::TolerantMode);
    QUrlQuery query;
    query.addQueryItem(versionQueryKey,
                       QString::fromLatin1(QUrl::toPercentEncoding(fileValue, keptInFileValue)));
    url.setQuery(query.query(QUrl::FullyEncoded), QUrl::StrictMode);
    return url;
}
