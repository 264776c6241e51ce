// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// A catalogue's minisign signature against trusted keys, and what ReleaseTrust makes of its
// signed comment. Keys and signatures are made here with the minisign command, so what is
// checked is exactly what a maker publishes.
#include "../support/privatesettings.h"
#include "cataloguefreshness.h"
#include "releasebranchsetting.h"
#include "releasefolder.h"
#include "releasesignature.h"
#include "releasetrust.h"
#include "testfiles.h"
#include "testsigningkey.h"

#include <QDateTime>
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

// Where a catalogue comes from, for the binding rules: the server, or a release folder, where a
// technician may allow an older release on purpose.
enum class From { Server, Folder, FolderOlderAllowed };

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
    return QString::fromLatin1(
        TestFiles::read(key.publicKeyFile()).split('\n').at(0).split(' ').last());
}

} // namespace

Q_DECLARE_METATYPE(From)

class TestReleaseSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void verify_data();
    void verify();
    void parsesPublicKeys_data();
    void parsesPublicKeys();
    void bindingDecidesWhetherCatalogueCounts_data();
    void bindingDecidesWhetherCatalogueCounts();
    void branchNames_data();
    void branchNames();

private:
    QByteArray catalogueOf(const QString &branch) const;
    QByteArray signatureOf(const QString &branch) const;

    TestSigningKey trusted;
    TestSigningKey other;
    ReleaseFolder folder;
};

void TestReleaseSignature::initTestCase()
{
    usePrivateSettings();
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
    return TestFiles::read(folder.path() + QLatin1Char('/') + branch +
                           QStringLiteral("/catalogue.json"));
}

QByteArray TestReleaseSignature::signatureOf(const QString &branch) const
{
    return TestFiles::read(folder.path() + QLatin1Char('/') + branch +
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
    QTest::newRow("signed by the second of two trusted keys")
        << catalogueOf(otherKeyBranch) << signatureOf(otherKeyBranch)
        << QByteArrayList{trustedKey, otherKey} << Status::Verified << otherId;
    // Copies through other systems and editors add these; they sign nothing.
    QTest::newRow("CRLF line ends") << catalogue << QByteArray(signature).replace("\n", "\r\n")
                                    << QByteArrayList{trustedKey} << Status::Verified << trustedId;
    QTest::newRow("trailing blank lines")
        << catalogue << signature + "\n\r\n\n"
        << QByteArrayList{trustedKey} << Status::Verified << trustedId;
    // Only the untrusted comment may change after signing; a server may rewrite line ends.
    QTest::newRow("untrusted comment rewritten")
        << catalogue << withLine(signature, 0, "untrusted comment: anything at all")
        << QByteArrayList{trustedKey} << Status::Verified << trustedId;

    QByteArray changed = catalogue;
    changed[changed.size() / 2] = char(changed.at(changed.size() / 2) ^ 1);
    QTest::newRow("catalogue changed by one byte")
        << changed << signature << QByteArrayList{trustedKey} << Status::BadSignature << trustedId;
    QTest::newRow("signature by another key")
        << catalogue << signatureOf(otherKeyBranch) << QByteArrayList{trustedKey}
        << Status::UnknownKey << otherId;
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
        << withLine(signature, trustedCommentLine,
                    QByteArray(comment).replace("branch:", "branch:x"))
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
    QTest::newRow("global signature missing")
        << catalogue << signature.left(signature.lastIndexOf('\n', signature.size() - 2))
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

    const QByteArray pubFile = TestFiles::read(trusted.publicKeyFile());
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

void TestReleaseSignature::bindingDecidesWhetherCatalogueCounts_data()
{
    QTest::addColumn<QString>("comment"); // %1: now, %2: an hour ago, %3: in an hour
    QTest::addColumn<From>("from");
    QTest::addColumn<QString>("reason"); // empty: accepted

    const QString none;
    const From server = From::Server;
    // Before each row the newest accepted for cust is "now" on this server.
    QTest::newRow("bound to the branch, signed now")
        << "timestamp:%1\tbranch:cust" << server << none;
    QTest::newRow("extra fields and a future expiry")
        << "timestamp:%1\tfile:catalogue.json\tbranch:cust\texpires:%3" << server << none;
    QTest::newRow("older than the newest accepted")
        << "timestamp:%2\tbranch:cust" << server << "catalogue-rollback";
    QTest::newRow("older, from a folder naming another server")
        << "timestamp:%2\tbranch:cust" << From::Folder << "catalogue-rollback";
    // Accepted, and told as an older release.
    QTest::newRow("older, allowed on purpose")
        << "timestamp:%2\tbranch:cust" << From::FolderOlderAllowed << none;
    QTest::newRow("signed for another branch")
        << "timestamp:%1\tbranch:labs" << server << "catalogue-wrong-branch";
    QTest::newRow("signed for a branch that only starts alike")
        << "timestamp:%1\tbranch:cust/old" << server << "catalogue-wrong-branch";
    QTest::newRow("expired") << "timestamp:%1\tbranch:cust\texpires:%2" << server
                             << "catalogue-expired";
    QTest::newRow("minisign's own comment")
        << "timestamp:%1\tfile:catalogue.json\thashed" << server << "catalogue-unbound";
    QTest::newRow("no timestamp") << "branch:cust" << server << "catalogue-unbound";
    QTest::newRow("timestamp not a number")
        << "timestamp:soon\tbranch:cust" << server << "catalogue-unbound";
    QTest::newRow("branch given twice")
        << "timestamp:%1\tbranch:labs\tbranch:cust" << server << "catalogue-unbound";
}

void TestReleaseSignature::bindingDecidesWhetherCatalogueCounts()
{
    QFETCH(QString, comment);
    QFETCH(From, from);
    QFETCH(QString, reason);
    constexpr qint64 hour = 3600;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QString server = QStringLiteral("http://127.0.0.1:%1").arg(QTest::currentDataTag());
    const QString branch = QStringLiteral("cust");
    CatalogueFreshness::accepted(server, branch, now);

    const QString signedBranch = QStringLiteral("binding");
    QVERIFY(folder.writeCatalogue(signedBranch, catalogueOf(trustedBranch)));
    QVERIFY2(folder.signCatalogue(signedBranch, trusted, TestSigningKey::Form::Hashed,
                                  QString(comment)
                                      .replace("%1", QString::number(now))
                                      .replace("%2", QString::number(now - hour))
                                      .replace("%3", QString::number(now + hour))),
             qPrintable(trusted.error()));
    const ReleaseTrust trust({*ReleaseSignature::parsePublicKey(trusted.publicKey().toLatin1())});
    const bool olderAllowed = from == From::FolderOlderAllowed;
    ReleaseTrust::Source source{server, branch, from != From::Server, olderAllowed};
    if (source.fromFolder)
        source.serverUrl = QStringLiteral("http://a-server-never-used.example");
    const ReleaseTrust::Verdict verdict =
        trust.accept({catalogueOf(signedBranch), signatureOf(signedBranch), {}}, source);

    QCOMPARE(verdict.failure.code, reason);
    QCOMPARE(verdict.catalogue.has_value(), reason.isEmpty());
    QCOMPARE(verdict.older, olderAllowed);
    QCOMPARE(ReleaseTrust::isRefusal(verdict.failure), !reason.isEmpty());
    // An older release used on purpose never lowers what later runs are held to.
    QCOMPARE(CatalogueFreshness::newest(server, branch), now);
}

void TestReleaseSignature::branchNames_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("used"); // after normalising; empty: refused

    QTest::newRow("several segments, all allowed characters") << "labs/rf-team_2.0"
                                                              << "labs/rf-team_2.0";
    QTest::newRow("one trailing slash dropped") << "labs/rf-team/"
                                                << "labs/rf-team";
    QTest::newRow("longest") << QString(100, 'a') << QString(100, 'a');
    QTest::newRow("dot segments inside a name are fine") << "v1..2"
                                                         << "v1..2";
    QTest::newRow("parent folders") << "../../etc" << QString();
    QTest::newRow("percent-encoded parent") << "%2e%2e/%2e%2e/x" << QString();
    QTest::newRow("dot segment resolving to another branch") << "cust/./../beta" << QString();
    QTest::newRow("a lone dot") << "." << QString();
    QTest::newRow("two trailing slashes") << "cust//" << QString();
    QTest::newRow("space") << "my branch" << QString();
    QTest::newRow("control character") << "cust\x1b[2J" << QString();
    QTest::newRow("non-ASCII letter") << QString::fromUtf8("k\xc3\xbcst") << QString();
    QTest::newRow("too long") << QString(101, 'a') << QString();
}

void TestReleaseSignature::branchNames()
{
    QFETCH(QString, given);
    QFETCH(QString, used);
    const QString branch = ReleaseBranchSetting::normalised(given);
    const QString problem = ReleaseBranchSetting::nameProblem(branch);
    QCOMPARE(problem.isEmpty(), !used.isEmpty());
    if (used.isEmpty()) {
        // The reason shows the name, but never a control character of it.
        QVERIFY(!problem.contains(QChar(0x1b)));
        return;
    }
    QCOMPARE(branch, used);
}

QTEST_GUILESS_MAIN(TestReleaseSignature)
#include "tst_releasesignature.moc"
