// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "releaseversion.h"

#include <QCryptographicHash>

#include <QJsonValue>

namespace {

const QString tagNameKey = QStringLiteral("tag_name");
const QString prereleaseKey = QStringLiteral("prerelease");
const QString isBetaKey = QStringLiteral("isbeta");
const QString flagSet = QStringLiteral("true");

const QString firmwareKeySuffix = QStringLiteral("firmware");
// "<firmware key>_sha256" publishes the SHA-256 of that file; it ends in "sha256", never in
// "firmware", so it is never taken for a file itself.
const QString checksumKeySuffix = QStringLiteral("_sha256");
const QString appMarker = QStringLiteral("App");
constexpr qsizetype hardwareIdLength = 6;

} // namespace

ReleaseVersion::ReleaseVersion(const QJsonObject &version)
{
    for (auto it = version.constBegin(); it != version.constEnd(); ++it)
        fields.insert(it.key(), it.value().isString() ? it.value().toString() : QString());
    for (const QString &flag : {prereleaseKey, isBetaKey}) {
        if (!fields.contains(flag))
            fields.insert(flag, QString());
    }
}

QString ReleaseVersion::tag() const
{
    // A number, an array, null or "" read as "": the version is then not listed at all, rather
    // than as an empty item that `update` could pick as the newest.
    return fields.value(tagNameKey);
}

bool ReleaseVersion::isPrerelease() const
{
    return fields.value(prereleaseKey) == flagSet;
}

bool ReleaseVersion::isBeta() const
{
    return fields.value(isBetaKey) == flagSet;
}

QMap<QString, QString> ReleaseVersion::firmware() const
{
    QMap<QString, QString> files;
    for (auto it = fields.constBegin(); it != fields.constEnd(); ++it) {
        if (it.key().endsWith(firmwareKeySuffix))
            files.insert(it.key(), it.value());
    }
    return files;
}

QList<QString> ReleaseVersion::firmwareKeys(QString hardwareId) const
{
    // Identifiers reported by the application firmware carry "App"; the catalogue names the
    // hardware without it, and only by an identifier of exactly six characters.
    hardwareId.remove(appMarker);
    QList<QString> keys;
    if (hardwareId.size() != hardwareIdLength)
        return keys;
    for (auto it = fields.constBegin(); it != fields.constEnd(); ++it) {
        if (it.key().startsWith(hardwareId) && it.key().endsWith(firmwareKeySuffix))
            keys.append(it.key());
    }
    return keys;
}

QList<QString> ReleaseVersion::hardwareIds() const
{
    QList<QString> ids;
    const QList<QString> keys = firmware().keys();
    for (const QString &key : keys) {
        const QString id = key.left(hardwareIdLength);
        // A key that no meter's identifier selects names no file of any meter.
        if (!ids.contains(id) && firmwareKeys(id).contains(key))
            ids.append(id);
    }
    return ids;
}

std::optional<QString> ReleaseVersion::checksum(const QString &key) const
{
    const auto published = fields.constFind(key + checksumKeySuffix);
    if (published == fields.constEnd())
        return std::nullopt;
    return *published;
}

QString ReleaseVersion::firmwareWithoutChecksum() const
{
    for (auto it = fields.constBegin(); it != fields.constEnd(); ++it) {
        if (it.key().endsWith(firmwareKeySuffix) && !checksum(it.key()))
            return it.key();
    }
    return QString();
}

// The published value must be the digest's 64 hex digits, in either case, and nothing else:
// separators, spaces or a truncated value fail the file rather than being read leniently, so a
// maker's mistake stops the update instead of letting an unchecked image through. The digest is
// always 64 lower-case hex digits, so one exact comparison is also the format check; toLatin1()
// turns anything outside Latin-1 into '?', which no digest holds.
DownloadFailure ReleaseVersion::imageProblem(const QString &key, const QByteArray &bytes) const
{
    const std::optional<QString> published = checksum(key);
    if (!published)
        return {};
    const QByteArray digest = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    if (digest == published->toLatin1().toLower())
        return {};
    return {DownloadFailure::checksumMismatch,
            QStringLiteral("checksum does not match the published one"), 0};
}

QJsonObject ReleaseVersion::toJson() const
{
    QJsonObject files;
    const QMap<QString, QString> members = firmware();
    for (auto it = members.constBegin(); it != members.constEnd(); ++it)
        files.insert(it.key(), it.value());
    return QJsonObject{{QStringLiteral("tag"), tag()},
                       {QStringLiteral("prerelease"), isPrerelease()},
                       {QStringLiteral("beta"), isBeta()},
                       {QStringLiteral("firmware"), files}};
}
