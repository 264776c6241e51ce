// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// A catalogue's minisign signature against trusted keys. Keys and signatures are made here with
// the minisign command, so what is checked is exactly what a maker publishes.
#include "releasefolder.h"
#include "releasesignature.h"
#include "testsigningkey.h"

#include <QFile>
#include <QTest>

#include <optional>

Q_DECLARE_METATYPE(ReleaseSignature::Status)

namespace {

using Status = ReleaseSignature::Status;

const QString trustedBranch = QStringLiteral("cust");
const QString legacyBranch = QStringLiteral("legacy");
const QString otherKeyBranch = QStringLiteral("other");
constexpr int signatureLine = 1;
constexpr int trustedCommentLine = 2;
const QByteArray trustedCommentPrefix("trusted comment: ");

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray withLine(const QByteArray &text, int index, const QByteArray &line)
{
    QByteArrayList lines = text.split('\n');
    lines[index] = line;
    return lines.join('\n');
}

QByteArray lineOf(const QByteArray &text, int index)
{
    return text.split('\n').at(index);
}

// The key id as minisign itself prints it in the .pub file's comment, so the check does not lean
// on our own formatting.
QString printedKeyId(const TestSigningKey &key)
{
    return QString::fromLatin1(readFile(key.publicKeyFile()).split('\n').at(0).split(' ').last());
}

} // namespace

class TestReleaseSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void verify_data();
    void verify();
    void parsesPublicKeys_data();
    void parsesPublicKeys();
    void buildWithoutKeysNeedsNoSignature();

private:
    QByteArray catalogueOf(const QString &branch) const;
    QByteArray signatureOf(const QString &branch) const;

    TestSigningKey trusted;
    TestSigningKey other;
    ReleaseFolder folder;
};

void TestReleaseSignature::initTestCase()
{
    QVERIFY2(trusted.isValid(), qPrintable(trusted.error()));
    QVERIFY2(other.isValid(), qPrintable(other.error()));
    const ReleaseVersions versions{
        {QStringLiteral("1.2.0"),
         {{QStringLiteral("DOVUr3_main_firmware"), ReleaseFolder::image(64, 1)}}}};
    QVERIFY2(folder.publish(trustedBranch, versions, &trusted), qPrintable(trusted.error()));
    QVERIFY(folder.writeCatalogue(legacyBranch, catalogueOf(trustedBranch)));
    QVERIFY2(folder.signCatalogue(legacyBranch, trusted, TestSigningKey::Form::Legacy),
             qPrintable(trusted.error()));
    QVERIFY2(folder.publish(otherKeyBranch, versions, &other), qPrintable(other.error()));
}

QByteArray TestReleaseSignature::catalogueOf(const QString &branch) const
{
    return readFile(folder.path() + QLatin1Char('/') + branch + QStringLiteral("/catalogue.json"));
}

QByteArray TestReleaseSignature::signatureOf(const QString &branch) const
{
    return readFile(folder.path() + QLatin1Char('/') + branch +
                    QStringLiteral("/catalogue.json.minisig"));
}

void TestReleaseSignature::verify_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QByteArrayList>("trustedKeys");
    QTest::addColumn<Status>("status");
    QTest::addColumn<QString>("keyId"); // what the result names; empty when it cannot be read

    const QByteArray catalogue = catalogueOf(trustedBranch);
    const QByteArray signature = signatureOf(trustedBranch);
    const QByteArray trustedKey = trusted.publicKey().toLatin1();
    const QByteArray otherKey = other.publicKey().toLatin1();
    const QString trustedId = printedKeyId(trusted);
    const QString otherId = printedKeyId(other);
    QVERIFY(!catalogue.isEmpty() && !signature.isEmpty() && trustedId != otherId);

    QTest::newRow("good signature")
        << catalogue << signature << QByteArrayList{trustedKey} << Status::Verified << trustedId;
    QTest::newRow("key given as the whole .pub file")
        << catalogue << signature << QByteArrayList{readFile(trusted.publicKeyFile())}
        << Status::Verified << trustedId;
    QTest::newRow("signed by the second of two trusted keys")
        << catalogueOf(otherKeyBranch) << signatureOf(otherKeyBranch)
        << QByteArrayList{trustedKey, otherKey} << Status::Verified << otherId;
    // Only the untrusted comment may change after signing; a server may rewrite line ends.
    QTest::newRow("untrusted comment rewritten")
        << catalogue << withLine(signature, 0, "untrusted comment: anything at all")
        << QByteArrayList{trustedKey} << Status::Verified << trustedId;
    QTest::newRow("CRLF line ends") << catalogue << QByteArray(signature).replace("\n", "\r\n")
                                    << QByteArrayList{trustedKey} << Status::Verified << trustedId;

    QByteArray changed = catalogue;
    changed[changed.size() / 2] = char(changed.at(changed.size() / 2) ^ 1);
    QTest::newRow("catalogue changed by one byte")
        << changed << signature << QByteArrayList{trustedKey} << Status::BadSignature << trustedId;
    QTest::newRow("signature by another key")
        << catalogue << signatureOf(otherKeyBranch) << QByteArrayList{trustedKey}
        << Status::UnknownKey << otherId;
    QTest::newRow("build trusting no key")
        << catalogue << signature << QByteArrayList{} << Status::UnknownKey << trustedId;
    // Another key's signature relabelled with the trusted key's id.
    QByteArray forged = QByteArray::fromBase64(lineOf(signatureOf(otherKeyBranch), signatureLine));
    forged.replace(2, 8, QByteArray::fromBase64(lineOf(signature, signatureLine)).mid(2, 8));
    QTest::newRow("another key's signature under the trusted key id")
        << catalogue << withLine(signatureOf(otherKeyBranch), signatureLine, forged.toBase64())
        << QByteArrayList{trustedKey} << Status::BadSignature << trustedId;
    QTest::newRow("no signature") << catalogue << QByteArray() << QByteArrayList{trustedKey}
                                  << Status::NoSignature << QString();
    QTest::newRow("legacy non-prehashed signature")
        << catalogue << signatureOf(legacyBranch) << QByteArrayList{trustedKey}
        << Status::LegacyForm << trustedId;
    const QByteArray comment = lineOf(signature, trustedCommentLine);
    QTest::newRow("trusted comment altered")
        << catalogue
        << withLine(signature, trustedCommentLine, QByteArray(comment).replace("file:", "file:x"))
        << QByteArrayList{trustedKey} << Status::TrustedCommentAltered << trustedId;

    QByteArray unknownAlgorithm = QByteArray::fromBase64(lineOf(signature, signatureLine));
    unknownAlgorithm.replace(0, 2, "Xx");
    QTest::newRow("unknown algorithm")
        << catalogue << withLine(signature, signatureLine, unknownAlgorithm.toBase64())
        << QByteArrayList{trustedKey} << Status::Malformed << trustedId;
    QTest::newRow("truncated base64")
        << catalogue
        << withLine(signature, signatureLine, lineOf(signature, signatureLine).left(96))
        << QByteArrayList{trustedKey} << Status::Malformed << QString();
    QTest::newRow("not base64") << catalogue
                                << withLine(signature, signatureLine, QByteArray(100, '!'))
                                << QByteArrayList{trustedKey} << Status::Malformed << QString();
    QTest::newRow("global signature missing")
        << catalogue << signature.left(signature.lastIndexOf('\n', signature.size() - 2))
        << QByteArrayList{trustedKey} << Status::Malformed << QString();
    QTest::newRow("HTML error page")
        << catalogue << QByteArray("<html><body>Not found</body></html>\n")
        << QByteArrayList{trustedKey} << Status::Malformed << QString();
    // A valid signature whose untrusted comment makes the file too big to read at all.
    const QByteArray padding(ReleaseSignature::maxSignatureBytes, 'x');
    QTest::newRow("huge file") << catalogue
                               << withLine(signature, 0, "untrusted comment: " + padding)
                               << QByteArrayList{trustedKey} << Status::Malformed << QString();
}

void TestReleaseSignature::verify()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, signature);
    QFETCH(QByteArrayList, trustedKeys);
    QFETCH(Status, status);
    QFETCH(QString, keyId);

    QList<ReleaseSignature::PublicKey> keys;
    for (const QByteArray &text : trustedKeys) {
        const std::optional<ReleaseSignature::PublicKey> key =
            ReleaseSignature::parsePublicKey(text);
        QVERIFY(key);
        keys.append(*key);
    }
    const ReleaseSignature::Result result = ReleaseSignature::verify(file, signature, keys);
    QVERIFY2(result.status == status, qPrintable(result.reason()));
    QCOMPARE(result.ok(), status == Status::Verified);
    QCOMPARE(result.keyId, keyId);
    QCOMPARE(result.reason().isEmpty(), result.ok());
    if (status == Status::UnknownKey)
        QVERIFY(result.reason().contains(keyId));
    // The trusted comment is reported only once it verified.
    if (!result.ok()) {
        QVERIFY(result.trustedComment.isNull());
        return;
    }
    const QByteArray comment = lineOf(signature, trustedCommentLine).trimmed();
    QCOMPARE(result.trustedComment, QString::fromUtf8(comment.mid(trustedCommentPrefix.size())));
}

void TestReleaseSignature::parsesPublicKeys_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("keyId"); // empty: not a key

    const QByteArray pubFile = readFile(trusted.publicKeyFile());
    const QByteArray line = trusted.publicKey().toLatin1();
    const QString id = printedKeyId(trusted);
    QTest::newRow("key line") << line << id;
    QTest::newRow("key line with spaces and a line end") << "  " + line + "\r\n" << id;
    QTest::newRow(".pub file") << pubFile << id;
    // minisign prints the little-endian number without its leading zeros.
    const QByteArray zeroLed = "Ed" + QByteArray::fromHex("020FC9ED0A210700") + QByteArray(32, 'k');
    QTest::newRow("key id with leading zeros")
        << zeroLed.toBase64() << QStringLiteral("7210AEDC90F02");
    QTest::newRow("empty") << QByteArray() << QString();
    QTest::newRow("one character short") << line.left(line.size() - 1) << QString();
    QTest::newRow("two keys") << line + '\n' + other.publicKey().toLatin1() << QString();
    QTest::newRow(".pub file with a third line") << pubFile + "extra\n" << QString();
    QTest::newRow("signature line instead of a key")
        << lineOf(signatureOf(trustedBranch), signatureLine) << QString();
}

void TestReleaseSignature::parsesPublicKeys()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, keyId);
    const std::optional<ReleaseSignature::PublicKey> key = ReleaseSignature::parsePublicKey(text);
    QCOMPARE(key.has_value(), !keyId.isEmpty());
    if (key)
        QCOMPARE(key->idText(), keyId);
}

void TestReleaseSignature::buildWithoutKeysNeedsNoSignature()
{
    // The test build is configured without LUMETRA_RELEASE_PUBLIC_KEYS.
    QVERIFY(!ReleaseSignature::isRequired());
    QVERIFY(ReleaseSignature::builtInKeys().isEmpty());
}

QTEST_GUILESS_MAIN(TestReleaseSignature)
#include "tst_releasesignature.moc"
