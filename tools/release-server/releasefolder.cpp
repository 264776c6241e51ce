// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "releasefolder.h"

#include <QDateTime>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

ReleaseFolder::ReleaseFolder() : dir(QDir::tempPath() + QStringLiteral("/lumetra-release-XXXXXX"))
{
}

namespace {

const QString catalogueFileName = QStringLiteral("catalogue.json");
const QString signatureSuffix = QStringLiteral(".minisig");

} // namespace

bool ReleaseFolder::writeCatalogue(const QString &branch, const QByteArray &json)
{
    return write(branch + QLatin1Char('/') + catalogueFileName, json);
}

bool ReleaseFolder::writeSignature(const QString &branch, const QByteArray &minisig)
{
    return write(branch + QLatin1Char('/') + catalogueFileName + signatureSuffix, minisig);
}

bool ReleaseFolder::signCatalogue(const QString &branch, TestSigningKey &key,
                                  TestSigningKey::Form form, const QString &trustedComment)
{
    const QString comment = trustedComment.isEmpty()
                                ? boundComment(branch, QDateTime::currentSecsSinceEpoch())
                                : trustedComment;
    return key.sign(cataloguePath(branch), form, comment);
}

QString ReleaseFolder::boundComment(const QString &branch, qint64 timestamp)
{
    return QStringLiteral("timestamp:%1\tbranch:%2").arg(timestamp).arg(branch);
}

QString ReleaseFolder::cataloguePath(const QString &branch) const
{
    return dir.filePath(branch + QLatin1Char('/') + catalogueFileName);
}

bool ReleaseFolder::writeFile(const QString &branch, const QString &value, const QByteArray &bytes)
{
    return write(branch + QLatin1Char('/') + value, bytes);
}

bool ReleaseFolder::publish(const QString &branch, const ReleaseVersions &versions,
                            TestSigningKey *signingKey)
{
    QJsonArray versionArray;
    for (const auto &[tag, images] : versions) {
        const bool beta = tag.endsWith(QLatin1String("-beta"));
        QJsonObject version{
            {"tag_name", tag}, {"prerelease", "false"}, {"isbeta", beta ? "true" : "false"}};
        for (const ReleaseImage &image : images) {
            version.insert(image.key, fileValue(tag, image.key));
            if (!image.sha256.isNull())
                version.insert(image.key + QStringLiteral("_sha256"), image.sha256);
            if (!writeFile(branch, fileValue(tag, image.key), image.bytes))
                return false;
        }
        versionArray.append(version);
    }
    const QJsonObject product{{"product", "Lumetra"}, {"versions", versionArray}};
    if (!writeCatalogue(branch, QJsonDocument(QJsonArray{product}).toJson()))
        return false;
    if (signingKey)
        return signCatalogue(branch, *signingKey);
    const QString signature = cataloguePath(branch) + signatureSuffix;
    return !QFile::exists(signature) || QFile::remove(signature);
}

QString ReleaseFolder::fileValue(const QString &tag, const QString &key)
{
    return tag + QLatin1Char('-') + key + QStringLiteral(".bin");
}

QString ReleaseFolder::sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

bool ReleaseFolder::write(const QString &relativePath, const QByteArray &bytes)
{
    const QString filePath = dir.filePath(relativePath);
    if (!dir.isValid() || !QDir().mkpath(QFileInfo(filePath).absolutePath()))
        return false;
    QFile file(filePath);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QByteArray ReleaseFolder::image(qsizetype size, quint32 seed)
{
    // xorshift32: fixed across platforms and Qt versions, unlike QRandomGenerator's sequences.
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = seed * 2654435761u + 0x9E3779B9u;
    if (state == 0)
        state = 1; // the one state xorshift never leaves
    for (qsizetype i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = static_cast<char>(state & 0xFFu);
    }
    return bytes;
}
