// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "bundledownload.h"

#include "reason.h"

#include "cataloguefetch.h"
#include "deferredstop.h"
#include "nvkcloudinterface.h"
#include "offlinerelease.h"
#include "reporter.h"

#include <QEventLoop>

namespace {
const QString noFirmware = reasonCode(Reason::NoFirmware);
const QString cannotWrite = reasonCode(Reason::CannotWrite);
} // namespace

BundleDownload::BundleDownload(NVKCloudInterface &client, Reporter &output)
    : cloud(client), reporter(output)
{
}

ExitCode BundleDownload::refuse(const DownloadFailure &failure)
{
    return OfflineRelease::refuse(
        reporter, QStringLiteral("the release of branch %1").arg(releaseBranch), failure);
}

ExitCode BundleDownload::fetchCatalogue(const QString &branch, bool betas)
{
    // The signature is fetched in every build: the folder keeps it for a program that checks it.
    CatalogueFetch fetch(cloud.server(), cloud.catalogueLimits(), true);
    QEventLoop loop;
    QObject::connect(&fetch, &CatalogueFetch::finished, &loop, &QEventLoop::quit);
    fetch.start(branch);
    loop.exec();
    const DownloadFailure failure = fetch.failure();
    if (failure.isFailure()) {
        reporter.reason(failure.code, failure.detail);
        reporter.error(QStringLiteral("release catalogue unavailable at %1: %2")
                           .arg(fetch.catalogueUrl(), failure.detail));
        return ExitCode::Catalogue;
    }
    // The bytes as received are verified before anything is read from them, once: the folder
    // is written from the catalogue accepted here.
    answer = fetch.answer();
    const ReleaseTrust::Verdict verdict = cloud.trust().accept(answer, {cloud.server(), branch});
    if (ReleaseTrust::isRefusal(verdict.failure))
        return refuse({verdict.failure.code, ReleaseTrust::refusalClause(verdict.failure), 0});
    if (verdict.failure.isFailure())
        return refuse(verdict.failure);
    catalogue = *verdict.catalogue;
    cloud.useCatalogue(catalogue, branch, betas);
    return ExitCode::Success;
}

ExitCode BundleDownload::fetch(const QString &branch, bool betas, const VersionChoice &choose,
                               const ImageDownload &download)
{
    releaseBranch = branch;
    const ExitCode fetched = fetchCatalogue(branch, betas);
    if (fetched != ExitCode::Success)
        return fetched;
    const std::optional<QString> version = choose();
    if (!version)
        return ExitCode::Catalogue;
    release = ReleaseBundle(cloud.server(), branch, *version, answer, catalogue);
    reporter.release(*version);

    const QList<QString> hardwareIds = cloud.hardwareIds(*version);
    if (hardwareIds.isEmpty()) {
        reporter.reason(noFirmware, QStringLiteral("no firmware for any meter"));
        reporter.error(QStringLiteral("version %1 has no firmware for any meter").arg(*version));
        return ExitCode::Catalogue;
    }
    reporter.status(UpdateStep::of(UpdateStep::Kind::DownloadingRelease, *version));
    QList<MeterImage> all;
    for (const QString &hardwareId : hardwareIds) {
        QList<MeterImage> images;
        const ExitCode downloaded = download(*version, hardwareId, images);
        if (downloaded != ExitCode::Success)
            return downloaded;
        for (const MeterImage &image : std::as_const(images))
            release.addImage(image.name, image.bytes);
        all += images;
    }
    const DownloadFailure failure = release.check(cloud.trust());
    if (failure.isFailure())
        return refuse(failure);
    reporter.release(*version, all);
    return ExitCode::Success;
}

ExitCode BundleDownload::run(const QString &folder, const QString &branch, bool betas,
                             const VersionChoice &choose, const ImageDownload &download)
{
    const QString problem = ReleaseBundle::targetProblem(folder);
    if (!problem.isEmpty()) {
        reporter.error(QStringLiteral("cannot write the release folder: ") + problem);
        return ExitCode::Usage;
    }
    const ExitCode fetched = fetch(branch, betas, choose, download);
    if (fetched != ExitCode::Success)
        return fetched;
    const ExitCode saved = save(folder);
    if (saved == ExitCode::Success && namesFolder)
        reporter.status(UpdateStep::of(UpdateStep::Kind::ReleaseSaved,
                                       QStringLiteral("%1 to %2").arg(release.version(), folder)));
    return saved;
}

ExitCode BundleDownload::save(const QString &folder)
{
    const QString problem = ReleaseBundle::targetProblem(folder);
    if (!problem.isEmpty()) {
        reporter.error(QStringLiteral("cannot write the release folder: ") + problem);
        return ExitCode::Usage;
    }
    QString error;
    bool saved = false;
    bool stopped = false;
    {
        // Ctrl-C while the folder is written stops it at the next file, with the partial folder
        // removed; the signal then ends the program as usual, when this block ends.
        const DeferredStop deferred;
        saved = release.save(folder, error, &DeferredStop::stopRequested);
        stopped = !saved && DeferredStop::stopRequested();
    }
    if (saved)
        return ExitCode::Success;
    reporter.reason(cannotWrite, error);
    reporter.error(QStringLiteral("cannot write the release folder: ") + error);
    if (!stopped)
        reporter.hint(
            QStringLiteral("free some space, or choose a folder on a disk you may write to"));
    return ExitCode::CannotWrite;
}
