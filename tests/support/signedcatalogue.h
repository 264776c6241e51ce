// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "releasefolder.h"
#include "releasesignature.h"
#include "testfiles.h"
#include "testsigningkey.h"

#include <QFile>
#include <QList>
#include <QMetaType>
#include <QString>

// How a published catalogue comes signed, for the tables of the tests that check signatures.
enum class Signing {
    Good,        // by the trusted key, as minisign writes it
    ChangedByte, // then one byte of the catalogue changed (still the same JSON to a parser)
    OtherKey,    // by a key the client does not trust
    Unsigned,    // no signature published at all
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
    switch (signing) {
    case Signing::Good:
        return folder.signCatalogue(branch, trusted);
    case Signing::ChangedByte: {
        if (!folder.signCatalogue(branch, trusted))
            return false;
        QByteArray bytes = TestFiles::read(catalogue);
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
    }
    return false;
}
