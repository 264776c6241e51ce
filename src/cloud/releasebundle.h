// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "downloadfailure.h"
#include "releasesignature.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

class NVKCloudInterface;

// One version of a release saved to a folder, for updates where the release server cannot be
// reached: the catalogue exactly as the server sent it, its signature when one was published,
// every image of the version for every hardware identifier, and a manifest (bundle.json) with
// the branch, the version and the size and SHA-256 of every file. Layout:
//
//   <folder>/bundle.json               what the bundle holds
//   <folder>/catalogue.json            the catalogue as served
//   <folder>/catalogue.json.minisig    its signature, when one was published
//   <folder>/images/<file>             each image, named after the catalogue's value for it
//   <folder>/README.txt                what the folder is, for a person who finds it
//
// The manifest only finds damage (a file changed or missing, the catalogue swapped); whether the
// release can be trusted is decided as for the server's answers, by check(): the signature when
// the build trusts keys, and each image against the checksum that the catalogue publishes.
class ReleaseBundle
{
public:
    struct Image
    {
        QString key;      // the catalogue member that names it
        QString fileName; // its file in the images folder
        QByteArray bytes;
    };

    static const QString manifestFileName;
    static const QString catalogueFileName;
    static const QString signatureFileName;
    static const QString imagesFolderName;
    static const QString readmeFileName;
    // No file of a bundle is read past this: as large as the largest image the client takes
    // from the server. A manifest lists a few dozen files and stays far below its limit.
    static constexpr qint64 maximumFileBytes = 16 * 1024 * 1024;
    static constexpr qint64 maximumManifestBytes = 1024 * 1024;
    // A manifest that lists more images, or more bytes in all, is refused before anything of it
    // is read.
    static constexpr qsizetype maximumImageEntries = 64;
    static constexpr qint64 maximumBundleBytes = 64 * 1024 * 1024;

    QString branch;
    QString version;
    QString serverUrl; // where it was downloaded from, for the reader of README.txt
    QByteArray catalogue;
    QByteArray signature; // empty: none was published
    QList<Image> images;
    // Whether the catalogue must be signed, and by which keys: those the build trusts.
    bool signatureRequired = ReleaseSignature::isRequired();
    QList<ReleaseSignature::PublicKey> trustedKeys = ReleaseSignature::builtInKeys();

    // Adds the version's file `key` under a file name made from its value in the catalogue that
    // `cloud` holds.
    void addImage(const NVKCloudInterface &cloud, const QString &key, const QByteArray &bytes);

    // The catalogue's signature, when one is required: it must verify under a trusted key.
    DownloadFailure checkSignature() const;
    // Checks the release as an update from the server would: checkSignature() (and then a
    // checksum for every image), the version in the catalogue, and every image of the version
    // present and matching its published checksum. The catalogue is loaded into `cloud`, betas
    // included, on the way.
    DownloadFailure check(NVKCloudInterface &cloud) const;
    // The images for a meter that identifies as hardwareId, in the order the update writes them,
    // chosen by the client's rules from the catalogue check() loaded.
    QList<Image> imagesFor(const NVKCloudInterface &cloud, const QString &hardwareId) const;

    // Writes the bundle as the folder `folder`, which must not exist yet. Everything is written
    // into a temporary folder beside it that takes its name at the end, so a failure never
    // leaves half a bundle behind. False, with a sentence saying why, when it cannot be written,
    // or when stopRequested (asked between files) says to stop.
    bool save(const QString &folder, QString &error,
              const std::function<bool()> &stopRequested = {}) const;
    // Why save() cannot write `folder`: it exists already, or the folder it goes in does not.
    // Empty when it can.
    static QString targetProblem(const QString &folder);
    // Reads the bundle in `folder`, refusing one whose files are missing or differ from those
    // it was written with. It still has to pass check().
    static std::optional<ReleaseBundle> load(const QString &folder, DownloadFailure &failure);

    // A catalogue value as a plain file name: its last path segment, with every character but
    // letters, digits, '.', '-' and '_' replaced by '_', and never starting with '.'.
    static QString safeFileName(const QString &value);

private:
    QByteArray manifest() const;
    QByteArray readme() const;
    const Image *image(const QString &key) const;
};
