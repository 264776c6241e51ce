// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "offlinerelease.h"

#include "downloadfailure.h"
#include "nvkcloudinterface.h"
#include "reason.h"
#include "reporter.h"

OfflineRelease::OfflineRelease(NVKCloudInterface &client, Reporter &output)
    : cloud(client), reporter(output)
{
}

ExitCode OfflineRelease::refuse(Reporter &reporter, const QString &subject,
                                const DownloadFailure &failure)
{
    reporter.reason(failure.code, failure.detail);
    reporter.error(QStringLiteral("cannot use %1: %2").arg(subject, failure.detail));
    // Whatever is wrong with it, the folder is no longer the release as it was saved.
    reporter.hint(
        UpdateStep::downloadRefused(QString(reasonCode(Reason::AlteredFile)), failure.detail)
            .nextStep(UpdateStep::Frontend::Terminal));
    return failure.code == DownloadFailure::checksumMismatch ? ExitCode::Download
                                                             : ExitCode::Catalogue;
}

ExitCode OfflineRelease::open(const QString &folder, const std::optional<QString> &wanted,
                              bool olderAllowed)
{
    const QString subject = QStringLiteral("the release folder ") + folder;
    DownloadFailure failure;
    std::optional<ReleaseBundle> loaded =
        ReleaseBundle::load(folder, cloud.trust(), olderAllowed, failure);
    if (!loaded)
        return refuse(reporter, subject, failure);
    bundle = *loaded;
    // The bundle holds one version, whatever the catalogue marks as a beta.
    cloud.useCatalogue(bundle.catalogue(), bundle.branch(), true);
    if (bundle.isOlderRelease())
        reporter.note(QStringLiteral("using the release folder %1 although its release is older "
                                     "than one used before (--allow-older-release)")
                          .arg(folder));
    reporter.release(bundle.version());
    if (wanted && *wanted != bundle.version()) {
        reporter.error(QStringLiteral("the release folder %1 holds version %2, not %3")
                           .arg(folder, bundle.version(), *wanted));
        return ExitCode::Catalogue;
    }
    return ExitCode::Success;
}

QList<MeterImage> OfflineRelease::imagesFor(const QString &hardwareId) const
{
    QList<MeterImage> images;
    const QList<ReleaseBundle::Image> chosen = bundle.imagesFor(hardwareId);
    for (const ReleaseBundle::Image &image : chosen)
        images.append({image.key, image.bytes});
    return images;
}
