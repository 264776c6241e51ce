// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "releasesignature.h"

#include <QByteArrayList>
#include <QtEndian>

#include <sodium.h>

#ifndef LUMETRA_RELEASE_PUBLIC_KEYS
#define LUMETRA_RELEASE_PUBLIC_KEYS ""
#endif

namespace {

// What the build was configured with: base64 key lines separated by commas (CMake's ';' would
// split the compiler definition). The configure step has checked each line's form.
constexpr char builtInKeyText[] = LUMETRA_RELEASE_PUBLIC_KEYS;
constexpr char builtInKeySeparator = ',';

constexpr qsizetype algorithmBytes = 2;
constexpr qsizetype keyIdBytes = 8;
constexpr qsizetype publicKeyBlobBytes = algorithmBytes + keyIdBytes + crypto_sign_PUBLICKEYBYTES;
constexpr qsizetype signatureBlobBytes = algorithmBytes + keyIdBytes + crypto_sign_BYTES;
constexpr qsizetype hashBytes = crypto_generichash_BYTES_MAX; // BLAKE2b-512

// A public key names its scheme, Ed25519, as "Ed"; in a signature the same two bytes mean the
// legacy form and "ED" the hashed one.
const QByteArray keyAlgorithm("Ed");
const QByteArray hashedAlgorithm("ED");
const QByteArray legacyAlgorithm("Ed");
const QByteArray untrustedCommentPrefix("untrusted comment: ");
const QByteArray trustedCommentPrefix("trusted comment: ");
constexpr qsizetype signatureFileLines = 4;

struct SignatureFile
{
    QByteArray algorithm;
    QByteArray keyId;
    QByteArray signature;
    QByteArray trustedComment; // the text after the prefix, as signed
    QByteArray globalSignature;
};

// Strict base64 of exactly `size` bytes: padding as written by minisign, no other characters.
std::optional<QByteArray> decodeBase64(const QByteArray &text, qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    size_t decodedSize = 0;
    const char *end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char *>(bytes.data()), size_t(size),
                          text.constData(), size_t(text.size()), nullptr, &decodedSize, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.constData() + text.size() || decodedSize != size_t(size))
        return std::nullopt;
    return bytes;
}

// The lines of a text file, without their line ends ("\n" or "\r\n"). Blank lines at the end
// are dropped: an editor or a copy through another system adds them, and they sign nothing.
QByteArrayList linesOf(const QByteArray &text)
{
    QByteArrayList lines = text.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    while (lines.size() > 1 && lines.constLast().isEmpty())
        lines.removeLast();
    return lines;
}

std::optional<SignatureFile> parseSignatureFile(const QByteArray &text)
{
    const QByteArrayList lines = linesOf(text);
    if (lines.size() != signatureFileLines || !lines.at(0).startsWith(untrustedCommentPrefix) ||
        !lines.at(2).startsWith(trustedCommentPrefix))
        return std::nullopt;
    const std::optional<QByteArray> blob = decodeBase64(lines.at(1), signatureBlobBytes);
    const std::optional<QByteArray> global = decodeBase64(lines.at(3), crypto_sign_BYTES);
    if (!blob || !global)
        return std::nullopt;
    SignatureFile file;
    file.algorithm = blob->left(algorithmBytes);
    file.keyId = blob->mid(algorithmBytes, keyIdBytes);
    file.signature = blob->mid(algorithmBytes + keyIdBytes);
    file.trustedComment = lines.at(2).mid(trustedCommentPrefix.size());
    file.globalSignature = *global;
    return file;
}

// minisign prints the key id as the little-endian 64-bit number it stores, in upper-case hex
// without leading zeros.
QString keyIdText(const QByteArray &id)
{
    return QString::number(qFromLittleEndian<quint64>(id.constData()), 16).toUpper();
}

bool sodiumReady()
{
    // Thread-safe once; sodium_init() is harmless to repeat but need not be.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool signatureMatches(const QByteArray &signature, const QByteArray &message,
                      const QByteArray &publicKey)
{
    return crypto_sign_verify_detached(
               reinterpret_cast<const unsigned char *>(signature.constData()),
               reinterpret_cast<const unsigned char *>(message.constData()),
               static_cast<unsigned long long>(message.size()),
               reinterpret_cast<const unsigned char *>(publicKey.constData())) == 0;
}

QByteArray blake2b512(const QByteArray &bytes)
{
    QByteArray hash(hashBytes, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<unsigned char *>(hash.data()), size_t(hashBytes),
                       reinterpret_cast<const unsigned char *>(bytes.constData()),
                       static_cast<unsigned long long>(bytes.size()), nullptr, 0);
    return hash;
}

ReleaseSignature::Result failure(ReleaseSignature::Status status, const QString &keyId = {})
{
    ReleaseSignature::Result result;
    result.status = status;
    result.keyId = keyId;
    return result;
}

} // namespace

QString ReleaseSignature::PublicKey::idText() const
{
    return keyIdText(id);
}

QString ReleaseSignature::Result::reason() const
{
    switch (status) {
    case Status::Verified:
        break;
    case Status::NoSignature:
        return QStringLiteral("no signature was published for it");
    case Status::Malformed:
        return QStringLiteral("its signature file is not a valid minisign signature");
    case Status::UnknownKey:
        return QStringLiteral("it is signed with a key this program does not trust (key ID ") +
               keyId + QLatin1Char(')');
    case Status::BadSignature:
        return QStringLiteral("its signature does not match it: it was changed after signing");
    case Status::LegacyForm:
        return QStringLiteral("it is signed in minisign's legacy form, which is not accepted");
    case Status::TrustedCommentAltered:
        return QStringLiteral("the trusted comment of its signature was altered");
    }
    return QString();
}

std::optional<ReleaseSignature::PublicKey> ReleaseSignature::parsePublicKey(const QByteArray &text)
{
    if (text.size() > maxPublicKeyBytes)
        return std::nullopt;
    QByteArrayList lines;
    for (const QByteArray &line : linesOf(text.trimmed()))
        lines.append(line.trimmed());
    if (lines.size() == 2 && lines.at(0).startsWith(untrustedCommentPrefix.trimmed()))
        lines.removeFirst();
    if (lines.size() != 1)
        return std::nullopt;
    const std::optional<QByteArray> blob = decodeBase64(lines.at(0), publicKeyBlobBytes);
    if (!blob || !blob->startsWith(keyAlgorithm))
        return std::nullopt;
    return PublicKey{blob->mid(algorithmBytes, keyIdBytes), blob->mid(algorithmBytes + keyIdBytes)};
}

QList<ReleaseSignature::PublicKey> ReleaseSignature::builtInKeys()
{
    static const QList<PublicKey> keys = [] {
        QList<PublicKey> parsed;
        for (const QByteArray &line : QByteArray(builtInKeyText).split(builtInKeySeparator)) {
            if (const std::optional<PublicKey> key = parsePublicKey(line))
                parsed.append(*key);
        }
        return parsed;
    }();
    return keys;
}

bool ReleaseSignature::isRequired()
{
    return !QByteArray(builtInKeyText).trimmed().isEmpty();
}

ReleaseSignature::Result ReleaseSignature::verify(const QByteArray &file,
                                                  const QByteArray &signatureFile,
                                                  const QList<PublicKey> &keys)
{
    if (signatureFile.isEmpty())
        return failure(Status::NoSignature);
    if (signatureFile.size() > maxSignatureBytes)
        return failure(Status::Malformed);
    const std::optional<SignatureFile> signature = parseSignatureFile(signatureFile);
    if (!signature)
        return failure(Status::Malformed);
    const QString keyId = keyIdText(signature->keyId);
    if (signature->algorithm == legacyAlgorithm)
        return failure(Status::LegacyForm, keyId);
    if (signature->algorithm != hashedAlgorithm)
        return failure(Status::Malformed, keyId);

    // Key ids are random 64-bit numbers; should two trusted keys share one, either may verify.
    bool keyKnown = false;
    const QByteArray hash = blake2b512(file);
    for (const PublicKey &key : keys) {
        if (key.id != signature->keyId)
            continue;
        keyKnown = true;
        // Without the library nothing can be shown to verify, so nothing is trusted.
        if (!sodiumReady() || !signatureMatches(signature->signature, hash, key.key))
            continue;
        if (!signatureMatches(signature->globalSignature,
                              signature->signature + signature->trustedComment, key.key))
            return failure(Status::TrustedCommentAltered, keyId);
        Result result;
        result.status = Status::Verified;
        result.keyId = keyId;
        result.trustedComment = QString::fromUtf8(signature->trustedComment);
        return result;
    }
    return failure(keyKnown ? Status::BadSignature : Status::UnknownKey, keyId);
}
