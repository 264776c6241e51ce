// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "downloadfailure.h"
#include "releasecatalogue.h"
#include "releasesignature.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// Decides whether a release catalogue may be used, wherever it came from (the release server,
// a release folder, the download that writes one), and turns its bytes into a catalogue value.
//
// Which keys are trusted, and so whether a signature is required, is fixed when the object is
// made and cannot change afterwards. With keys, a catalogue counts only when:
// - its signature verifies under one of them over the exact bytes, before any is parsed;
// - its signed trusted comment binds it, as tab-separated key:value fields: "timestamp:"
//   (Unix seconds of signing) and "branch:" are required, "expires:" (Unix seconds) optional;
// - it was signed for the branch asked for, has not expired, and is not older than the newest
//   catalogue accepted before for that server and branch (CatalogueFreshness), which it then
//   becomes.
// Without keys the bytes are only parsed, as they always were.
class ReleaseTrust
{
public:
    // The catalogue and its signature as received, for accept().
    struct Answer
    {
        QByteArray catalogue;
        QByteArray signature; // empty when none was published
        // Why the signature could not be fetched; no failure when it came or none is published.
        DownloadFailure signatureFailure;
    };

    // Where the catalogue comes from, and what it must have been signed for.
    struct Source
    {
        QString serverUrl;
        QString branch;
        // From a release folder: held to the newest time accepted for the branch from any
        // server, since the folder's note of its server is not signed.
        bool fromFolder = false;
        // A technician's choice: a catalogue older than the newest accepted is used all the
        // same (Verdict::older says so). It does not lower the newest time remembered.
        bool olderAllowed = false;
    };

    struct Verdict
    {
        // No failure when the catalogue may be used; its detail completes "The release catalogue
        // is not trusted: " for every failure isRefusal() names.
        DownloadFailure failure;
        std::optional<ReleaseCatalogue> catalogue;
        // The signature's check; not ok() when none is required.
        ReleaseSignature::Result signature;
        // Accepted only because Source::olderAllowed: signed before the newest accepted.
        bool older = false;
    };

    // Trusts the keys built in, and requires a signature when the build has any.
    ReleaseTrust();
    // Trusts exactly `keys`. A signature is required when any are given, and always in a build
    // with keys of its own: no object can make it optional there.
    explicit ReleaseTrust(const QList<ReleaseSignature::PublicKey> &keys);

    bool requiresSignature() const { return signatureRequired; }

    // Checks the answer for `source` and reads the catalogue. Remembers an accepted signed
    // catalogue's time, so a later call refuses one signed earlier.
    Verdict accept(const Answer &answer, const Source &source) const;

    // The rule that makes a signature cover the images: a signed catalogue must publish a
    // checksum for every firmware file of a version. The first firmware key without one, when
    // a signature is required; empty otherwise.
    QString uncheckedFile(const ReleaseVersion &version) const;
    // The failure of a version whose file `key` has no checksum in a signed catalogue.
    static DownloadFailure uncheckedFailure(const QString &key);

    // Whether a failure is a refusal of trust (a catalogue that came but may not be used), which
    // is shown with refusalText() rather than as a catalogue that could not be fetched.
    static bool isRefusal(const DownloadFailure &failure);
    // When a verified catalogue was signed, as its trusted comment says; nothing when it does not.
    static std::optional<qint64> signedAt(const ReleaseSignature::Result &signature);
    // "The release catalogue is not trusted: " and the failure's detail: the window's line.
    static QString refusalText(const DownloadFailure &failure);
    // The same as a clause, "the release catalogue is not trusted: ...", for a sentence such as
    // "cannot use the release folder DIR: <clause>".
    static QString refusalClause(const DownloadFailure &failure);

private:
    DownloadFailure checkBinding(const ReleaseSignature::Result &signature, const Source &source,
                                 bool &older) const;

    QList<ReleaseSignature::PublicKey> trustedKeys;
    bool signatureRequired;
};
