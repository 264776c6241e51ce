// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "releasebundle.h"

#include "boundedreply.h"
#include "localfile.h"
#include "releasebranchsetting.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const QString ReleaseBundle::manifestFileName = QStringLiteral("bundle.json");
const QString ReleaseBundle::catalogueFileName = QStringLiteral("catalogue.json");
const QString ReleaseBundle::signatureFileName = QStringLiteral("catalogue.json.minisig");
const QString ReleaseBundle::imagesFolderName = QStringLiteral("images");
const QString ReleaseBundle::readmeFileName = QStringLiteral("README.txt");

namespace {

// The manifest says what it is, so that a folder of other JSON is never taken for a bundle, and
// which layout it has, so that a later program can tell a layout it does not know.
const QString formatName = QStringLiteral("lumetra-release-bundle");
constexpr int formatVersion = 1;
// Room for a "-<n>" that tells two files of one name apart, within any file system's limit.
constexpr qsizetype longestMadeName = 120;
constexpr qsizetype longestFileName = 255;
const QString placeholderName = QStringLiteral("image");
const QChar replacement = QLatin1Char('_');
// The folder is for copying to other machines: readable by all, like any downloaded folder.
constexpr QFileDevice::Permissions folderPermissions =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
    QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;

namespace Key {
const QLatin1String format("format");
const QLatin1String formatVersion("formatVersion");
const QLatin1String branch("branch");
const QLatin1String version("version");
const QLatin1String server("server");
const QLatin1String catalogue("catalogue");
const QLatin1String signature("signature");
const QLatin1String images("images");
const QLatin1String key("key");
const QLatin1String file("file");
const QLatin1String bytes("bytes");
const QLatin1String sha256("sha256");
} // namespace Key

DownloadFailure failure(QLatin1String code, const QString &detail)
{
    return {code, detail, 0};
}

QString sha256Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// A name that stays inside the images folder and means nothing to a shell: what safeFileName()
// makes. The manifest is read back from disk, so its names are checked like any input.
bool isPlainFileName(const QString &name)
{
    if (name.isEmpty() || name.size() > longestFileName || name.startsWith(QLatin1Char('.')))
        return false;
    return std::all_of(name.begin(), name.end(), ReleaseBranchSetting::isSegmentCharacter);
}

QString withNumber(const QString &name, int number)
{
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString suffix = QStringLiteral("-%1").arg(number);
    return dot > 0 ? QString(name.left(dot) + suffix + name.mid(dot)) : QString(name + suffix);
}

QJsonObject fileEntry(const QString &path, const QByteArray &bytes)
{
    return {{Key::file, path}, {Key::bytes, bytes.size()}, {Key::sha256, sha256Of(bytes)}};
}

bool matchesEntry(const QJsonObject &entry, const QByteArray &bytes)
{
    return entry.value(Key::bytes).toDouble(-1) == double(bytes.size()) &&
           entry.value(Key::sha256).toString() == sha256Of(bytes);
}

// A file of the bundle, read once and whole but never past `limit` bytes, and only when it is a
// regular file; `path` is relative to the folder and names the file in the problem.
std::optional<QByteArray> readFile(const QDir &folder, const QString &path, qint64 limit,
                                   QString &problem)
{
    LocalFile::Failure failure;
    const std::optional<QByteArray> bytes = LocalFile::read(folder.filePath(path), limit, failure);
    if (!bytes)
        problem = failure.missing ? QStringLiteral("%1 is missing").arg(path)
                                  : QStringLiteral("%1 cannot be read: %2").arg(path, failure.why);
    return bytes;
}

// What the manifest asks to be read, weighed before any of it is: a few images of a few MiB each
// make a release, so a manifest that lists more, or more bytes, is not one `download` wrote.
// Entries of two keys may name one file (two meter models sharing an image); it is read once.
QString sizeProblem(const QJsonObject &manifest)
{
    const QJsonArray imageList = manifest.value(Key::images).toArray();
    if (imageList.size() > ReleaseBundle::maximumImageEntries)
        return QStringLiteral("its bundle.json lists %1 images, more than the %2 a release holds")
            .arg(imageList.size())
            .arg(ReleaseBundle::maximumImageEntries);
    QSet<QString> keys;
    QSet<QString> files;
    double total = manifest.value(Key::catalogue).toObject().value(Key::bytes).toDouble();
    for (const QJsonValue &value : imageList) {
        const QJsonObject entry = value.toObject();
        const QString key = entry.value(Key::key).toString();
        if (keys.contains(key))
            return QStringLiteral("its bundle.json lists the image %1 twice").arg(key);
        keys.insert(key);
        const QString file = entry.value(Key::file).toString();
        if (!files.contains(file))
            total += entry.value(Key::bytes).toDouble();
        files.insert(file);
    }
    if (total > double(ReleaseBundle::maximumBundleBytes))
        return QStringLiteral("its bundle.json lists more than %1 of files")
            .arg(BoundedReply::sizeText(ReleaseBundle::maximumBundleBytes));
    return QString();
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Written whole and on the disk, or false with the operating system's reason: a full disk or a
// read-only file system must say so, never "Unknown error".
bool writeFile(const QString &path, const QByteArray &bytes, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    errno = 0;
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        const int written = errno;
        error = QStringLiteral("cannot write %1: %2")
                    .arg(path, written != 0 ? errnoText(written) : file.errorString());
        return false;
    }
    if (::fsync(file.handle()) != 0) {
        error = QStringLiteral("cannot write %1: %2").arg(path, errnoText(errno));
        return false;
    }
    return true;
}

// A value as README.txt may show it. The version comes from the server, and a control character
// in a text file would still reach the terminal of whoever reads it with cat.
QString printableOrUnnamed(const QString &text)
{
    constexpr char16_t firstPrintable = 0x20;
    constexpr char16_t lastPrintable = 0x7E;
    for (const QChar character : text) {
        if (character.unicode() < firstPrintable || character.unicode() > lastPrintable)
            return QStringLiteral("(see bundle.json)");
    }
    return text;
}

} // namespace

QString ReleaseBundle::safeFileName(const QString &value)
{
    QString name = value.mid(value.lastIndexOf(QLatin1Char('/')) + 1).left(longestMadeName);
    for (QChar &character : name) {
        if (!ReleaseBranchSetting::isSegmentCharacter(character))
            character = replacement;
    }
    if (name.startsWith(QLatin1Char('.')))
        name[0] = replacement;
    return name.isEmpty() ? placeholderName : name;
}

ReleaseBundle::ReleaseBundle(const QString &serverUrl, const QString &branch,
                             const QString &version, const ReleaseTrust::Answer &answer,
                             const ReleaseCatalogue &catalogue)
    : releaseBranch(branch), releaseVersion(version), server(serverUrl),
      catalogueBytes(answer.catalogue), signatureBytes(answer.signature),
      releaseCatalogue(catalogue)
{
}

void ReleaseBundle::addImage(const QString &key, const QByteArray &bytes)
{
    // Two members may name one file; two different files may come out with one name.
    const QString wanted = safeFileName(releaseCatalogue.entry(releaseVersion).value(key));
    QString name = wanted;
    for (int number = 2;; ++number) {
        const auto same = std::find_if(imageList.cbegin(), imageList.cend(),
                                       [&](const Image &other) { return other.fileName == name; });
        if (same == imageList.cend() || same->bytes == bytes)
            break;
        name = withNumber(wanted, number);
    }
    imageList.append({key, name, bytes});
}

const ReleaseBundle::Image *ReleaseBundle::image(const QString &key) const
{
    for (const Image &candidate : imageList) {
        if (candidate.key == key)
            return &candidate;
    }
    return nullptr;
}

DownloadFailure ReleaseBundle::check(const ReleaseTrust &trust) const
{
    if (!releaseCatalogue.lists(releaseVersion))
        return failure(
            DownloadFailure::notBundle,
            QStringLiteral("its catalogue does not list version %1").arg(releaseVersion));
    const ReleaseVersion entry = releaseCatalogue.entry(releaseVersion);
    const QString unchecked = trust.uncheckedFile(entry);
    if (!unchecked.isEmpty())
        return ReleaseTrust::uncheckedFailure(unchecked);
    // Every image of every meter model, however many a model has: the signature vouches for each
    // only through its checksum.
    const QList<QString> hardwareIds = entry.hardwareIds();
    for (const QString &hardwareId : hardwareIds) {
        const QList<QString> keys = entry.firmwareKeys(hardwareId);
        for (const QString &key : keys) {
            const Image *found = image(key);
            if (!found)
                return failure(DownloadFailure::notBundle,
                               QStringLiteral("it holds no image for %1").arg(key));
            if (entry.imageProblem(key, found->bytes).isFailure())
                return failure(DownloadFailure::checksumMismatch,
                               QStringLiteral("%1/%2 does not match the checksum the catalogue "
                                              "publishes for %3")
                                   .arg(imagesFolderName, found->fileName, key));
        }
    }
    return {};
}

QList<ReleaseBundle::Image> ReleaseBundle::imagesFor(const QString &hardwareId) const
{
    QList<Image> chosen;
    const QList<QString> keys = releaseCatalogue.entry(releaseVersion).firmwareKeys(hardwareId);
    for (const QString &key : keys) {
        if (const Image *found = image(key))
            chosen.append(*found);
    }
    return chosen;
}

DownloadFailure ReleaseBundle::accept(const ReleaseTrust &trust, bool olderAllowed)
{
    // As for the server's catalogue: the exact bytes are verified before anything is parsed, and
    // the signature must bind them to the bundle's branch and a time not older than what this
    // computer has used.
    const ReleaseTrust::Verdict verdict =
        trust.accept({catalogueBytes, signatureBytes, {}},
                     {server, releaseBranch, /*fromFolder=*/true, olderAllowed});
    if (ReleaseTrust::isRefusal(verdict.failure))
        return {verdict.failure.code, ReleaseTrust::refusalClause(verdict.failure), 0};
    if (verdict.failure.isFailure())
        return {verdict.failure.code,
                QStringLiteral("its catalogue.json is not a release catalogue"), 0};
    releaseCatalogue = *verdict.catalogue;
    older = verdict.older;
    return check(trust);
}

QByteArray ReleaseBundle::manifest() const
{
    QJsonArray imageArray;
    for (const Image &entry : imageList) {
        QJsonObject object =
            fileEntry(imagesFolderName + QLatin1Char('/') + entry.fileName, entry.bytes);
        object.insert(Key::key, entry.key);
        imageArray.append(object);
    }
    const QJsonObject object{{Key::format, formatName},
                             {Key::formatVersion, formatVersion},
                             {Key::branch, releaseBranch},
                             {Key::version, releaseVersion},
                             {Key::server, server},
                             {Key::catalogue, fileEntry(catalogueFileName, catalogueBytes)},
                             {Key::signature, signatureBytes.isEmpty()
                                                  ? QJsonValue()
                                                  : fileEntry(signatureFileName, signatureBytes)},
                             {Key::images, imageArray}};
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

QByteArray ReleaseBundle::readme() const
{
    // Each value on a line of its own, so that the prose stays wrapped whatever it says.
    const QString text = QStringLiteral(
        "Lumetra firmware release bundle\n"
        "\n"
        "Version:  %1\n"
        "Branch:   %2\n"
        "Server:   %3\n"
        "\n"
        "This folder holds one firmware version of the Lumetra RF power meter with the\n"
        "release catalogue it comes from, for updating meters where the release server\n"
        "cannot be reached. Copy the whole folder, then run\n"
        "\n"
        "    lumetra-flash update --from FOLDER\n"
        "\n"
        "It was written by \"lumetra-flash download\". The update checks every file as\n"
        "it checks the release server's answers, and refuses a folder whose files are\n"
        "missing or changed: do not edit, add or rename anything in it.\n"
        "\n"
        "  bundle.json             the branch and version, every file's size and SHA-256\n"
        "  catalogue.json          the release catalogue, exactly as the server sent it\n"
        "  catalogue.json.minisig  the maker's signature of it, when one was published\n"
        "  images/                 every image of the version, for every meter model\n");
    return text
        .arg(printableOrUnnamed(releaseVersion), printableOrUnnamed(releaseBranch),
             printableOrUnnamed(server))
        .toUtf8();
}

QString ReleaseBundle::targetProblem(const QString &folder)
{
    const QFileInfo target(folder);
    if (target.exists() || target.isSymLink())
        return QStringLiteral("%1 already exists: name a folder that does not exist yet")
            .arg(folder);
    if (!target.absoluteDir().exists())
        return QStringLiteral("the folder %1 does not exist").arg(target.absolutePath());
    return QString();
}

bool ReleaseBundle::save(const QString &folder, QString &error,
                         const std::function<bool()> &stopRequested) const
{
    error = targetProblem(folder);
    if (!error.isEmpty())
        return false;
    const QFileInfo target(folder);
    const QDir parent = target.absoluteDir();
    // Beside the target, so that the last step is a rename within one file system. Whatever
    // ends save() before that rename removes it again.
    QTemporaryDir partial(
        parent.filePath(QLatin1Char('.') + target.fileName() + QStringLiteral(".partial-XXXXXX")));
    if (!partial.isValid()) {
        error = QStringLiteral("cannot write in %1: %2").arg(parent.path(), partial.errorString());
        return false;
    }
    const QDir dir(partial.path());
    const auto stopped = [&] {
        if (!stopRequested || !stopRequested())
            return false;
        error = QStringLiteral("stopped before %1 was complete").arg(folder);
        return true;
    };
    if (::mkdir(QFile::encodeName(dir.filePath(imagesFolderName)).constData(), S_IRWXU) != 0) {
        error = QStringLiteral("cannot make %1: %2")
                    .arg(dir.filePath(imagesFolderName), errnoText(errno));
        return false;
    }
    QStringList written;
    for (const Image &entry : imageList) {
        if (written.contains(entry.fileName))
            continue;
        if (stopped() ||
            !writeFile(dir.filePath(imagesFolderName + QLatin1Char('/') + entry.fileName),
                       entry.bytes, error))
            return false;
        written.append(entry.fileName);
    }
    if (stopped() || !writeFile(dir.filePath(catalogueFileName), catalogueBytes, error) ||
        (!signatureBytes.isEmpty() &&
         !writeFile(dir.filePath(signatureFileName), signatureBytes, error)) ||
        !writeFile(dir.filePath(readmeFileName), readme(), error) ||
        !writeFile(dir.filePath(manifestFileName), manifest(), error) || stopped())
        return false;
    QFile::setPermissions(dir.filePath(imagesFolderName), folderPermissions);
    QFile::setPermissions(dir.path(), folderPermissions);
    // Never over a folder of the same name made in the meantime.
    if (::renameat2(AT_FDCWD, QFile::encodeName(dir.path()).constData(), AT_FDCWD,
                    QFile::encodeName(target.absoluteFilePath()).constData(),
                    RENAME_NOREPLACE) != 0) {
        error =
            QStringLiteral("cannot rename %1 to %2: %3").arg(dir.path(), folder, errnoText(errno));
        return false;
    }
    partial.setAutoRemove(false);
    return true;
}

std::optional<ReleaseBundle> ReleaseBundle::load(const QString &folder, const ReleaseTrust &trust,
                                                 bool olderAllowed, DownloadFailure &problem)
{
    const QDir dir(folder);
    if (!QFileInfo(folder).isDir()) {
        problem = failure(DownloadFailure::notBundle, QStringLiteral("there is no such folder"));
        return std::nullopt;
    }
    QString why;
    const std::optional<QByteArray> manifestBytes =
        readFile(dir, manifestFileName, maximumManifestBytes, why);
    if (!manifestBytes) {
        problem = failure(DownloadFailure::notBundle,
                          QStringLiteral("it is not a release bundle (%1; lumetra-flash download "
                                         "writes one)")
                              .arg(why));
        return std::nullopt;
    }
    const QJsonObject manifest = QJsonDocument::fromJson(*manifestBytes).object();
    const QJsonObject catalogueEntry = manifest.value(Key::catalogue).toObject();
    const QJsonValue signatureEntry = manifest.value(Key::signature);
    ReleaseBundle bundle;
    bundle.releaseBranch = manifest.value(Key::branch).toString();
    bundle.releaseVersion = manifest.value(Key::version).toString();
    bundle.server = manifest.value(Key::server).toString();
    if (manifest.value(Key::format) != formatName ||
        !ReleaseBranchSetting::nameProblem(bundle.releaseBranch).isEmpty() ||
        bundle.releaseVersion.isEmpty() || !manifest.value(Key::images).isArray() ||
        !(signatureEntry.isNull() || signatureEntry.isObject())) {
        problem = failure(DownloadFailure::notBundle,
                          QStringLiteral("its bundle.json is not a release bundle's manifest"));
        return std::nullopt;
    }
    if (manifest.value(Key::formatVersion).toInt() != formatVersion) {
        problem = failure(DownloadFailure::notBundle,
                          QStringLiteral("its layout is not one this program knows (written by "
                                         "another version of lumetra-flash?)"));
        return std::nullopt;
    }

    const QString tooMuch = sizeProblem(manifest);
    if (!tooMuch.isEmpty()) {
        problem = failure(DownloadFailure::notBundle, tooMuch);
        return std::nullopt;
    }

    // Each file as the manifest recorded it, or the reason why not.
    const auto readAs = [&](const QString &path, const QJsonObject &entry, QLatin1String changed,
                            QByteArray &bytes) {
        const std::optional<QByteArray> read = readFile(dir, path, maximumFileBytes, why);
        if (!read) {
            problem = failure(DownloadFailure::missingFile, why);
            return false;
        }
        if (!matchesEntry(entry, *read)) {
            problem = failure(changed, QStringLiteral("%1 is not the file the bundle was "
                                                      "written with: it was changed or replaced")
                                           .arg(path));
            return false;
        }
        bytes = *read;
        return true;
    };
    if (!readAs(catalogueFileName, catalogueEntry, DownloadFailure::alteredFile,
                bundle.catalogueBytes))
        return std::nullopt;
    if (signatureEntry.isObject()) {
        if (!readAs(signatureFileName, signatureEntry.toObject(), DownloadFailure::alteredFile,
                    bundle.signatureBytes))
            return std::nullopt;
    } else if (QFileInfo::exists(dir.filePath(signatureFileName))) {
        problem = failure(
            DownloadFailure::alteredFile,
            QStringLiteral("%1 was added after the bundle was written").arg(signatureFileName));
        return std::nullopt;
    }

    const QString imagePrefix = imagesFolderName + QLatin1Char('/');
    const QJsonArray listed = manifest.value(Key::images).toArray();
    for (const QJsonValue &value : listed) {
        const QJsonObject entry = value.toObject();
        const QString path = entry.value(Key::file).toString();
        Image image{entry.value(Key::key).toString(), path.mid(imagePrefix.size()), QByteArray()};
        if (image.key.isEmpty() || !path.startsWith(imagePrefix) ||
            !isPlainFileName(image.fileName)) {
            problem = failure(DownloadFailure::notBundle,
                              QStringLiteral("its bundle.json lists an image it cannot hold"));
            return std::nullopt;
        }
        const auto sameFile =
            std::find_if(bundle.imageList.cbegin(), bundle.imageList.cend(),
                         [&](const Image &earlier) { return earlier.fileName == image.fileName; });
        if (sameFile != bundle.imageList.cend() && matchesEntry(entry, sameFile->bytes))
            image.bytes = sameFile->bytes; // read once, shared
        else if (!readAs(path, entry, DownloadFailure::checksumMismatch, image.bytes))
            return std::nullopt;
        bundle.imageList.append(image);
    }
    problem = bundle.accept(trust, olderAllowed);
    if (problem.isFailure())
        return std::nullopt;
    return bundle;
}
