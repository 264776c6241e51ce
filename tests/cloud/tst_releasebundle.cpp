// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// A release saved to a folder: checked as the server's answers are checked, written whole or not
// at all, and refused when its files are missing or not as written. Signing keys are made here
// with the minisign command.
#include "../support/privatesettings.h"
#include "nvkcloudinterface.h"
#include "releasebundle.h"
#include "releasefolder.h"
#include "releasetrust.h"
#include "testfiles.h"
#include "testsigningkey.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

const QString plainBranch = QStringLiteral("plain");
const QString signedBranch = QStringLiteral("signed");

// A version with images for two models, two for one of them, each with its checksum, and one
// whose image has none.
const ReleaseVersions &versions()
{
    static const ReleaseVersions list{
        {"1.0.0",
         {{"DOVUr3_boot_firmware", ReleaseFolder::image(4200, 4),
           ReleaseFolder::sha256(ReleaseFolder::image(4200, 4))},
          {"DOVUr3_main_firmware", ReleaseFolder::image(5000, 1),
           ReleaseFolder::sha256(ReleaseFolder::image(5000, 1))},
          {"QX7Lm2_main_firmware", ReleaseFolder::image(4500, 2),
           ReleaseFolder::sha256(ReleaseFolder::image(4500, 2))}}},
        {"1.1.0", {{"DOVUr3_main_firmware", ReleaseFolder::image(4800, 3)}}}};
    return list;
}

QByteArray flipped(QByteArray bytes)
{
    bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 0x01);
    return bytes;
}

QStringList keysOf(const QList<ReleaseBundle::Image> &images)
{
    QStringList keys;
    for (const ReleaseBundle::Image &image : images)
        keys.append(image.key);
    return keys;
}

// What a row does to a bundle before it is checked, or to its folder before it is read.
enum class Change {
    None,
    NotACatalogue,
    OtherModelImageChanged,
    SecondImageOfModelChanged,
    OtherModelImageLeftOut,
    ImageFileChanged,
    ImageFileRemoved,
    CatalogueSwapped,
    SignatureRemoved,
    SignatureAdded,
    ManifestRemoved,
    ManifestNamesFileOutside,
    NewerLayout,
    ImageListedOverAndOver,
    ImageListedTwice,
    ImagesPastTheWholeLimit,
    ImageIsAFifo
};

} // namespace

Q_DECLARE_METATYPE(Change)

class TestReleaseBundle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void check_data();
    void check();
    void savedAndLoaded_data();
    void savedAndLoaded();
    void saveNeverLeavesHalfABundle();
    void safeFileName_data();
    void safeFileName();
    void namesTwoFilesApart();

private:
    // The bundle that "download" makes of a version of a branch, with `change` made to it, or
    // why `trust` refuses its catalogue.
    std::optional<ReleaseBundle> bundleOf(const QString &branch, const QString &version,
                                          const ReleaseTrust &trust, DownloadFailure &failure,
                                          Change change = Change::None) const;
    QString catalogueFile(const QString &branch) const;

    TestSigningKey trusted;
    ReleaseFolder folder;
};

void TestReleaseBundle::initTestCase()
{
    usePrivateSettings();
    QVERIFY2(trusted.isValid(), qPrintable(trusted.error()));
    QVERIFY(folder.publish(plainBranch, versions()));
    QVERIFY2(folder.publish(signedBranch, versions(), &trusted), qPrintable(trusted.error()));
}

QString TestReleaseBundle::catalogueFile(const QString &branch) const
{
    return folder.path() + QLatin1Char('/') + branch + QStringLiteral("/catalogue.json");
}

std::optional<ReleaseBundle> TestReleaseBundle::bundleOf(const QString &branch,
                                                         const QString &version,
                                                         const ReleaseTrust &trust,
                                                         DownloadFailure &failure,
                                                         Change change) const
{
    ReleaseTrust::Answer answer{TestFiles::read(catalogueFile(branch)),
                                TestFiles::read(catalogueFile(branch) + QStringLiteral(".minisig")),
                                {}};
    if (change == Change::NotACatalogue)
        answer.catalogue = "<html>Not found</html>";
    const ReleaseTrust::Verdict verdict = trust.accept(answer, {folder.path(), branch});
    failure = verdict.failure;
    if (failure.isFailure())
        return std::nullopt;
    ReleaseBundle bundle(folder.path(), branch, version, answer, *verdict.catalogue);
    for (const auto &[tag, images] : versions()) {
        for (const ReleaseImage &image : images) {
            const bool otherModel = !image.key.startsWith(QLatin1String("DOVUr3"));
            const bool secondOfModel = image.key == QLatin1String("DOVUr3_main_firmware");
            if (tag != version || (change == Change::OtherModelImageLeftOut && otherModel))
                continue;
            const bool changed = (change == Change::OtherModelImageChanged && otherModel) ||
                                 (change == Change::SecondImageOfModelChanged && secondOfModel);
            bundle.addImage(image.key, changed ? flipped(image.bytes) : image.bytes);
        }
    }
    return bundle;
}

void TestReleaseBundle::check_data()
{
    QTest::addColumn<QString>("branch");
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("keys"); // the build trusts the test key
    QTest::addColumn<Change>("change");
    QTest::addColumn<QString>("failure"); // the code; empty: it passes

    QTest::newRow("build without keys, an image without a checksum")
        << plainBranch << "1.1.0" << false << Change::None << QString();
    QTest::newRow("signed by the trusted key")
        << signedBranch << "1.0.0" << true << Change::None << QString();
    QTest::newRow("signed catalogue, an image without its checksum")
        << signedBranch << "1.1.0" << true << Change::None << QStringLiteral("checksum-missing");
    QTest::newRow("another model's image not the published one")
        << plainBranch << "1.0.0" << false << Change::OtherModelImageChanged
        << QStringLiteral("checksum-mismatch");
    // The model's first image is fine: only a check of every image finds this.
    QTest::newRow("a model's second image not the published one")
        << plainBranch << "1.0.0" << false << Change::SecondImageOfModelChanged
        << QStringLiteral("checksum-mismatch");
    QTest::newRow("another model's image left out")
        << plainBranch << "1.0.0" << false << Change::OtherModelImageLeftOut
        << QStringLiteral("not-bundle");
    QTest::newRow("a version the catalogue does not list")
        << plainBranch << "2.0.0" << false << Change::None << QStringLiteral("not-bundle");
    QTest::newRow("not a catalogue") << plainBranch << "1.0.0" << false << Change::NotACatalogue
                                     << QStringLiteral("not-catalogue");
}

void TestReleaseBundle::check()
{
    QFETCH(QString, branch);
    QFETCH(QString, version);
    QFETCH(bool, keys);
    QFETCH(Change, change);
    QFETCH(QString, failure);

    const ReleaseTrust trust =
        keys ? ReleaseTrust({*ReleaseSignature::parsePublicKey(trusted.publicKey().toLatin1())})
             : ReleaseTrust();
    DownloadFailure result;
    const std::optional<ReleaseBundle> bundle = bundleOf(branch, version, trust, result, change);
    if (bundle)
        result = bundle->check(trust);
    QVERIFY2(result.code == failure, qPrintable(result.code + QLatin1String(": ") + result.detail));
    if (!failure.isEmpty())
        return;
    // The meter's identifier chooses its images by the client's rules, "App" and all.
    const QStringList twoImages{"DOVUr3_boot_firmware", "DOVUr3_main_firmware"};
    QCOMPARE(keysOf(bundle->imagesFor(QStringLiteral("DOVUr3App"))),
             version == QLatin1String("1.0.0") ? twoImages : QStringList{"DOVUr3_main_firmware"});
    QCOMPARE(keysOf(bundle->imagesFor(QStringLiteral("XMTR22"))), QStringList());
}

void TestReleaseBundle::savedAndLoaded_data()
{
    QTest::addColumn<QString>("branch");
    QTest::addColumn<Change>("change");
    QTest::addColumn<QString>("failure"); // the code; empty: read back as written

    QTest::newRow("as written") << signedBranch << Change::None << QString();
    QTest::newRow("an image changed")
        << signedBranch << Change::ImageFileChanged << QStringLiteral("checksum-mismatch");
    QTest::newRow("an image removed")
        << signedBranch << Change::ImageFileRemoved << QStringLiteral("missing-file");
    QTest::newRow("the catalogue swapped for another")
        << signedBranch << Change::CatalogueSwapped << QStringLiteral("altered-file");
    QTest::newRow("the signature removed")
        << signedBranch << Change::SignatureRemoved << QStringLiteral("missing-file");
    QTest::newRow("a signature added")
        << plainBranch << Change::SignatureAdded << QStringLiteral("altered-file");
    QTest::newRow("no manifest") << signedBranch << Change::ManifestRemoved
                                 << QStringLiteral("not-bundle");
    QTest::newRow("the manifest names a file outside the images folder")
        << signedBranch << Change::ManifestNamesFileOutside << QStringLiteral("not-bundle");
    QTest::newRow("a layout of a later program")
        << signedBranch << Change::NewerLayout << QStringLiteral("not-bundle");
    // Each refused before any image is read, which would take gigabytes.
    QTest::newRow("one 16 MiB image listed 6,000 times")
        << signedBranch << Change::ImageListedOverAndOver << QStringLiteral("not-bundle");
    QTest::newRow("one image key listed twice")
        << signedBranch << Change::ImageListedTwice << QStringLiteral("not-bundle");
    QTest::newRow("five 16 MiB images, past 64 MiB in all")
        << signedBranch << Change::ImagesPastTheWholeLimit << QStringLiteral("not-bundle");
    QTest::newRow("an image that is a FIFO")
        << signedBranch << Change::ImageIsAFifo << QStringLiteral("missing-file");
}

void TestReleaseBundle::savedAndLoaded()
{
    QFETCH(QString, branch);
    QFETCH(Change, change);
    QFETCH(QString, failure);

    QTemporaryDir parent;
    const QString path = parent.filePath(QStringLiteral("bundle"));
    const ReleaseTrust trust;
    DownloadFailure refused;
    const std::optional<ReleaseBundle> made =
        bundleOf(branch, QStringLiteral("1.0.0"), trust, refused);
    QVERIFY(made);
    const ReleaseBundle &written = *made;
    QString error;
    QVERIFY2(written.save(path, error), qPrintable(error));

    const QDir dir(path);
    const QString image =
        dir.filePath(QStringLiteral("images/") + written.images().first().fileName);
    const QString manifest = dir.filePath(ReleaseBundle::manifestFileName);
    QJsonObject manifestObject = QJsonDocument::fromJson(TestFiles::read(manifest)).object();
    switch (change) {
    case Change::ImageFileChanged:
        QVERIFY(TestFiles::write(image, flipped(TestFiles::read(image))));
        break;
    case Change::ImageFileRemoved:
        QVERIFY(QFile::remove(image));
        break;
    case Change::CatalogueSwapped:
        QVERIFY(TestFiles::write(dir.filePath(ReleaseBundle::catalogueFileName),
                                 TestFiles::read(catalogueFile(plainBranch)) + '\n'));
        break;
    case Change::SignatureRemoved:
        QVERIFY(QFile::remove(dir.filePath(ReleaseBundle::signatureFileName)));
        break;
    case Change::SignatureAdded:
        QVERIFY(TestFiles::write(
            dir.filePath(ReleaseBundle::signatureFileName),
            TestFiles::read(catalogueFile(signedBranch) + QStringLiteral(".minisig"))));
        break;
    case Change::ManifestRemoved:
        QVERIFY(QFile::remove(manifest));
        break;
    case Change::ManifestNamesFileOutside: {
        QJsonArray images = manifestObject.value(QLatin1String("images")).toArray();
        QJsonObject first = images.first().toObject();
        first.insert(QLatin1String("file"), QStringLiteral("images/../catalogue.json"));
        images.replace(0, first);
        manifestObject.insert(QLatin1String("images"), images);
        QVERIFY(TestFiles::write(manifest, QJsonDocument(manifestObject).toJson()));
        break;
    }
    case Change::NewerLayout:
        manifestObject.insert(QLatin1String("formatVersion"), 2);
        QVERIFY(TestFiles::write(manifest, QJsonDocument(manifestObject).toJson()));
        break;
    case Change::ImageListedOverAndOver:
    case Change::ImageListedTwice:
    case Change::ImagesPastTheWholeLimit: {
        constexpr int overAndOver = 6000;
        constexpr int pastTheWhole = 5;
        QFile imageFile(image);
        QVERIFY(imageFile.resize(ReleaseBundle::maximumFileBytes));
        QJsonObject entry =
            manifestObject.value(QLatin1String("images")).toArray().first().toObject();
        // A faithful entry for the grown file: only the count and the total can refuse it.
        entry.insert(QLatin1String("bytes"), double(ReleaseBundle::maximumFileBytes));
        entry.insert(QLatin1String("sha256"), ReleaseFolder::sha256(TestFiles::read(image)));
        const int count = change == Change::ImageListedOverAndOver ? overAndOver
                          : change == Change::ImageListedTwice     ? 2
                                                                   : pastTheWhole;
        QJsonArray images;
        for (int i = 0; i < count; ++i) {
            if (change == Change::ImageListedOverAndOver)
                entry.insert(QLatin1String("key"), QStringLiteral("ABCDEF%1firmware").arg(i));
            if (change == Change::ImagesPastTheWholeLimit)
                entry.insert(QLatin1String("file"), QStringLiteral("images/copy-%1.bin").arg(i));
            images.append(entry);
        }
        manifestObject.insert(QLatin1String("images"), images);
        const QByteArray text = QJsonDocument(manifestObject).toJson(QJsonDocument::Compact);
        QVERIFY(text.size() < ReleaseBundle::maximumManifestBytes);
        QVERIFY(TestFiles::write(manifest, text));
        break;
    }
    case Change::ImageIsAFifo:
        QVERIFY(QFile::remove(image));
        QCOMPARE(::mkfifo(QFile::encodeName(image).constData(), 0600), 0);
        break;
    default:
        break;
    }

    DownloadFailure why;
    const std::optional<ReleaseBundle> read = ReleaseBundle::load(path, trust, false, why);
    QVERIFY2(why.code == failure, qPrintable(why.code + QLatin1String(": ") + why.detail));
    QCOMPARE(read.has_value(), failure.isEmpty());
    if (!read)
        return;
    QCOMPARE(read->branch(), written.branch());
    QCOMPARE(read->version(), written.version());
    QVERIFY(read->catalogue().lists(QStringLiteral("1.0.0")));
    QCOMPARE(read->images().size(), written.images().size());
    for (qsizetype i = 0; i < written.images().size(); ++i) {
        QCOMPARE(read->images().at(i).key, written.images().at(i).key);
        QCOMPARE(read->images().at(i).fileName, written.images().at(i).fileName);
        QCOMPARE(read->images().at(i).bytes, written.images().at(i).bytes);
    }
    QVERIFY(
        TestFiles::read(dir.filePath(ReleaseBundle::readmeFileName)).contains("Version:  1.0.0"));
}

// Whatever happens, the folder named is either a whole bundle or not there, and nothing else is
// left beside it.
void TestReleaseBundle::saveNeverLeavesHalfABundle()
{
    QTemporaryDir parent;
    const QDir dir(parent.path());
    DownloadFailure refused;
    const std::optional<ReleaseBundle> bundle =
        bundleOf(plainBranch, QStringLiteral("1.0.0"), ReleaseTrust(), refused);
    QVERIFY(bundle);
    QString error;

    QVERIFY(dir.mkdir(QStringLiteral("taken")));
    QVERIFY(!bundle->save(dir.filePath(QStringLiteral("taken")), error));
    QVERIFY2(error.contains(QLatin1String("already exists")), qPrintable(error));
    QVERIFY(QDir(dir.filePath(QStringLiteral("taken"))).isEmpty());

    const QDir::Filters everything = QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot;
    QVERIFY2(bundle->save(dir.filePath(QStringLiteral("bundle")), error), qPrintable(error));
    QCOMPARE(dir.entryList(everything), QStringList({"bundle", "taken"}));
}

void TestReleaseBundle::safeFileName_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("name");

    QTest::newRow("a plain name") << "DOVUr3_main_1.2.0.bin"
                                  << "DOVUr3_main_1.2.0.bin";
    QTest::newRow("in a subfolder of the branch") << "old/DOVUr3.bin"
                                                  << "DOVUr3.bin";
    QTest::newRow("climbing out") << "../../etc/passwd"
                                  << "passwd";
    QTest::newRow("hidden") << ".profile"
                            << "_profile";
    QTest::newRow("shell characters") << "a&b c;$(x).bin"
                                      << "a_b_c___x_.bin";
    QTest::newRow("beyond ASCII") << "Прошивка.bin"
                                  << "________.bin";
    QTest::newRow("a backslash") << "..\\boot.bin"
                                 << "_._boot.bin";
    QTest::newRow("nothing after the slash") << "folder/"
                                             << "image";
    QTest::newRow("very long") << QString(300, QLatin1Char('x')) << QString(120, QLatin1Char('x'));
}

void TestReleaseBundle::safeFileName()
{
    QFETCH(QString, value);
    QFETCH(QString, name);
    QCOMPARE(ReleaseBundle::safeFileName(value), name);
}

// Two members naming one file share it; two files that come out with one name are told apart.
void TestReleaseBundle::namesTwoFilesApart()
{
    const QJsonObject version{{"tag_name", "1.0.0"},
                              {"DOVUr3_a_firmware", "a/main.bin"},
                              {"DOVUr3_b_firmware", "b/main.bin"},
                              {"DOVUr3_c_firmware", "a/main.bin"}};
    const QJsonArray catalogue{
        QJsonObject{{"product", "Lumetra"}, {"versions", QJsonArray{version}}}};
    const ReleaseTrust::Answer answer{QJsonDocument(catalogue).toJson(), {}, {}};
    const ReleaseTrust::Verdict verdict = ReleaseTrust().accept(answer, {{}, plainBranch});
    QVERIFY(verdict.catalogue);
    ReleaseBundle bundle({}, plainBranch, QStringLiteral("1.0.0"), answer, *verdict.catalogue);
    bundle.addImage(QStringLiteral("DOVUr3_a_firmware"), "first");
    bundle.addImage(QStringLiteral("DOVUr3_b_firmware"), "second");
    bundle.addImage(QStringLiteral("DOVUr3_c_firmware"), "first");
    QStringList names;
    for (const ReleaseBundle::Image &image : bundle.images())
        names.append(image.fileName);
    QCOMPARE(names, QStringList({"main.bin", "main-2.bin", "main.bin"}));
}

QTEST_GUILESS_MAIN(TestReleaseBundle)
#include "tst_releasebundle.moc"
