// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "exitcode.h"
#include "metersession.h"
#include "releasebundle.h"

#include <QList>
#include <QString>

#include <functional>
#include <optional>

class NVKCloudInterface;
class Reporter;

// download, and the bench's one download for all its meters: one version of a release branch
// fetched whole (the catalogue and its signature as served, the version's images for every
// hardware identifier) and checked as an update checks it, then written as a release folder.
//
// Which version is taken and how an image is downloaded are the update's own steps, handed in,
// so that a release folder holds exactly what an update from the server would write.
class BundleDownload
{
public:
    using VersionChoice = std::function<std::optional<QString>()>;
    using ImageDownload = std::function<ExitCode(const QString &version, const QString &hardwareId,
                                                 QList<MeterImage> &images)>;

    BundleDownload(NVKCloudInterface &cloud, Reporter &reporter);

    // download: the release fetched, checked and written to the new folder `folder`, which is
    // checked first so that nothing is downloaded in vain. Says what happened.
    ExitCode run(const QString &folder, const QString &branch, bool betas,
                 const VersionChoice &choose, const ImageDownload &download);
    // Fetches and checks the release; says why when it fails.
    ExitCode fetch(const QString &branch, bool betas, const VersionChoice &choose,
                   const ImageDownload &download);
    // Writes what fetch() brought to the new folder `folder`; says why when it cannot.
    ExitCode save(const QString &folder);

    const ReleaseBundle &bundle() const { return release; }

    // Whether run() ends with a status line naming the folder; a temporary one is not worth it.
    bool namesFolder = true;

private:
    ExitCode fetchCatalogue(const QString &branch, bool betas);
    ExitCode refuse(const DownloadFailure &failure);

    NVKCloudInterface &cloud;
    Reporter &reporter;
    QString releaseBranch;
    ReleaseTrust::Answer answer;
    ReleaseCatalogue catalogue;
    ReleaseBundle release;
};
