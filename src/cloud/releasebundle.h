// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "downloadfailure.h"
#include "releasecatalogue.h"
#include "releasetrust.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

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
// release can be trusted is decided as for the server's answers, by a ReleaseTrust (the
// signature and what it binds the catalogue to, when the build trusts keys) and by check():
// each image against the checksum that the catalogue publishes.
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

    ReleaseBundle() = default;
    // A release about to be saved: version `version` of the catalogue that `answer` brought from
    // the branch of the server at serverUrl, which `catalogue` was accepted from. Images follow
    // with addImage().
    ReleaseBundle(const QString &serverUrl, const QString &branch, const QString &version,
                  const ReleaseTrust::Answer &answer, const ReleaseCatalogue &catalogue);

    // Adds the version's file `key` under a file name made from its value in the catalogue.
    void addImage(const QString &key, const QByteArray &bytes);

    // Checks the images as an update from the server would: every image of the version, for
    // every hardware identifier, present and matching its published checksum, and with a
    // signature required, a checksum published for each.
    DownloadFailure check(const ReleaseTrust &trust) const;
    // The images for a meter that identifies as hardwareId, in the order the update writes them,
    // chosen by the catalogue's rules.
    QList<Image> imagesFor(const QString &hardwareId) const;

    QString branch() const { return releaseBranch; }
    QString version() const { return releaseVersion; }
    // Where it was downloaded from, as the manifest says: for the reader, not for trust.
    QString serverUrl() const { return server; }
    const ReleaseCatalogue &catalogue() const { return releaseCatalogue; }
    const QList<Image> &images() const { return imageList; }
    // Its catalogue was signed before the newest one accepted for its branch, and it was loaded
    // only because an older release was allowed.
    bool isOlderRelease() const { return older; }

    // Writes the bundle as the folder `folder`, which must not exist yet. Everything is written
    // into a temporary folder beside it that takes its name at the end, so a failure never
    // leaves half a bundle behind. False, with a sentence saying why, when it cannot be written,
    // or when stopRequested (asked between files) says to stop.
    bool save(const QString &folder, QString &error,
              const std::function<bool()> &stopRequested = {}) const;
    // Why save() cannot write `folder`: it exists already, or the folder it goes in does not.
    // Empty when it can.
    static QString targetProblem(const QString &folder);
    // Reads the bundle in `folder` and checks it whole, once: files missing or different from
    // those it was written with, a catalogue `trust` does not accept (an older one only with
    // olderAllowed), a version it does not list and images that are not the published ones are
    // refused, with `failure` saying why.
    static std::optional<ReleaseBundle> load(const QString &folder, const ReleaseTrust &trust,
                                             bool olderAllowed, DownloadFailure &failure);

    // A catalogue value as a plain file name: its last path segment, with every character but
    // letters, digits, '.', '-' and '_' replaced by '_', and never starting with '.'.
    static QString safeFileName(const QString &value);

private:
    DownloadFailure accept(const ReleaseTrust &trust, bool olderAllowed);
    QByteArray manifest() const;
    QByteArray readme() const;
    const Image *image(const QString &key) const;

    QString releaseBranch;
    QString releaseVersion;
    QString server;
    QByteArray catalogueBytes;
    QByteArray signatureBytes; // empty: none was published
    ReleaseCatalogue releaseCatalogue;
    QList<Image> imageList;
    bool older = false;
};
