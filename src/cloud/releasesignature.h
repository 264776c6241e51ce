// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// Checks a file published by the maker against the minisign signature published beside it.
//
// A minisign public key is a base64 line of "Ed", an 8-byte key id and a 32-byte Ed25519 key. A
// signature file (.minisig) has four lines: an untrusted comment, the base64 of the algorithm
// ("ED": the signature covers the BLAKE2b-512 hash of the file; "Ed": the legacy form that
// covers the file itself), the key id and the 64-byte signature, then "trusted comment: " with
// its text, and the base64 of a second signature, over the first one followed by that text.
//
// Only the hashed form, the one minisign writes by default, is accepted: the legacy form is
// refused, so that there is one form to check and a maker who signs with an old tool finds out
// at once instead of when the legacy form goes away.
//
// Everything here works on bytes exactly as received; nothing is parsed from the signed file.
class ReleaseSignature
{
public:
    // A signature file of more than this is refused unread: minisign's own files stay far below
    // it even with a long trusted comment, and the download of one can be cut off here.
    static constexpr qsizetype maxSignatureBytes = 16 * 1024;
    // A public key is one base64 line; its .pub file adds one comment line.
    static constexpr qsizetype maxPublicKeyBytes = 4 * 1024;

    struct PublicKey
    {
        QByteArray id;  // 8 bytes, as in the files
        QByteArray key; // the 32-byte Ed25519 public key

        // The key id as minisign prints it ("D530EA8867D22702", "907210AEDC90F02").
        QString idText() const;
    };

    enum class Status {
        Verified,
        NoSignature,           // nothing was published beside the file
        Malformed,             // not a minisign signature file, or one out of bounds
        UnknownKey,            // made by a key that is not trusted
        BadSignature,          // does not match the file (the file or the signature changed)
        LegacyForm,            // minisign's legacy, unhashed form, which is refused
        TrustedCommentAltered, // the signature over the trusted comment does not match
    };

    struct Result
    {
        Status status = Status::NoSignature;
        // The signature's key id as minisign prints it, whenever the signature could be read;
        // texts of our own making only, safe to show anywhere.
        QString keyId;
        // The signed trusted comment, only once everything verified. It comes from the server
        // all the same: escape it before it reaches a terminal or a rich-text widget.
        QString trustedComment;

        bool ok() const { return status == Status::Verified; }
        // Why the file is not trusted, as a clause that completes a sentence such as
        // "The release catalogue is not trusted: <reason>". Empty when verified.
        QString reason() const;
    };

    // A public key from its base64 line or from the whole text of minisign's .pub file (the
    // comment line, then the key line); nothing when it is neither.
    static std::optional<PublicKey> parsePublicKey(const QByteArray &text);

    // The keys compiled in with the LUMETRA_RELEASE_PUBLIC_KEYS setting; empty without it.
    static QList<PublicKey> builtInKeys();
    // True when the build was configured with at least one key: the maker's files then count
    // only when verify() accepts them. Decided from the setting itself, not from what parsed,
    // so that no key can ever turn the check off.
    static bool isRequired();

    // Checks `signatureFile` (the .minisig text; empty when none was published) against `file`
    // and the trusted `keys`.
    static Result verify(const QByteArray &file, const QByteArray &signatureFile,
                         const QList<PublicKey> &keys);
};
