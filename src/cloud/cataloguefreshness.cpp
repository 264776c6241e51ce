// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "cataloguefreshness.h"

#include <QSettings>
#include <QUrl>

namespace {
const QString settingsOrganisation = QStringLiteral("Norvatek");
const QString settingsApplication = QStringLiteral("Divirare2");
const QString freshnessGroup = QStringLiteral("CatalogueFreshness");
// Keys are "<server>|<branch>", each part percent-encoded: a '/' would open a settings group,
// and '|' is never left unencoded.
const QChar keySeparator = QLatin1Char('|');

QString keyOf(const QString &serverUrl, const QString &branch)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(serverUrl)) + keySeparator +
           QString::fromLatin1(QUrl::toPercentEncoding(branch));
}

QString branchOfKey(const QString &key)
{
    return QUrl::fromPercentEncoding(key.mid(key.lastIndexOf(keySeparator) + 1).toLatin1());
}
} // namespace

qint64 CatalogueFreshness::newest(const QString &serverUrl, const QString &branch)
{
    QSettings settings(settingsOrganisation, settingsApplication);
    settings.beginGroup(freshnessGroup);
    return settings.value(keyOf(serverUrl, branch), 0).toLongLong();
}

qint64 CatalogueFreshness::newestOfBranch(const QString &branch)
{
    QSettings settings(settingsOrganisation, settingsApplication);
    settings.beginGroup(freshnessGroup);
    qint64 newestTime = 0;
    const QStringList keys = settings.childKeys();
    for (const QString &key : keys) {
        if (branchOfKey(key) == branch)
            newestTime = std::max(newestTime, settings.value(key, 0).toLongLong());
    }
    return newestTime;
}

void CatalogueFreshness::accepted(const QString &serverUrl, const QString &branch, qint64 timestamp)
{
    if (timestamp <= newest(serverUrl, branch))
        return;
    QSettings settings(settingsOrganisation, settingsApplication);
    settings.beginGroup(freshnessGroup);
    settings.setValue(keyOf(serverUrl, branch), timestamp);
}
