// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "releasefolder.h"
#include "releasesignature.h"
#include "testsigningkey.h"

#include <QByteArrayList>
#include <QFile>
#include <QList>
#include <QMetaType>
#include <QString>

// How a published catalogue comes signed, for the tables of the tests that check signatures.
enum class Signing {
    Good,           // by the trusted key, as minisign writes it
    ChangedByte,    // then one byte of the catalogue changed (still the same JSON to a parser)
    OtherKey,       // by a key the client does not trust
    Unsigned,       // no signature published at all
    Legacy,         // by the trusted key, in minisign's legacy form
    CommentAltered, // then the text of its trusted comment changed
};
Q_DECLARE_METATYPE(Signing)

// The trusted public key of `key`, as a client takes it.
inline QList<ReleaseSignature::PublicKey> trustedKeysOf(const TestSigningKey &key)
{
    const std::optional<ReleaseSignature::PublicKey> parsed =
        ReleaseSignature::parsePublicKey(key.publicKey().toLatin1());
    return parsed ? QList<ReleaseSignature::PublicKey>{*parsed}
                  : QList<ReleaseSignature::PublicKey>();
}

// Signs (or not) the catalogue that `folder` publishes for `branch` as `signing` says.
inline bool signAs(ReleaseFolder &folder, const QString &branch, Signing signing,
                   TestSigningKey &trusted, TestSigningKey &stranger)
{
    const QString catalogue = folder.path() + QLatin1Char('/') + branch + "/catalogue.json";
    const auto readFile = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    switch (signing) {
    case Signing::Good:
        return folder.signCatalogue(branch, trusted);
    case Signing::ChangedByte: {
        if (!folder.signCatalogue(branch, trusted))
            return false;
        QByteArray bytes = readFile(catalogue);
        const qsizetype space = bytes.indexOf(' ');
        if (space < 0)
            return false;
        bytes[space] = '\t';
        return folder.writeCatalogue(branch, bytes);
    }
    case Signing::OtherKey:
        return folder.signCatalogue(branch, stranger);
    case Signing::Unsigned:
        return !QFile::exists(catalogue + ".minisig") || QFile::remove(catalogue + ".minisig");
    case Signing::Legacy:
        return folder.signCatalogue(branch, trusted, TestSigningKey::Form::Legacy);
    case Signing::CommentAltered: {
        if (!folder.signCatalogue(branch, trusted))
            return false;
        constexpr qsizetype trustedCommentLine = 2;
        QByteArrayList lines = readFile(catalogue + ".minisig").split('\n');
        if (lines.size() <= trustedCommentLine)
            return false;
        lines[trustedCommentLine] += " (re-dated)";
        return folder.writeSignature(branch, lines.join('\n'));
    }
    }
    return false;
}
