// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "offlinerelease.h"

#include "downloadfailure.h"
#include "nvkcloudinterface.h"
#include "reason.h"
#include "reporter.h"

OfflineRelease::OfflineRelease(UpdateRun &updateRun, Reporter &output)
    : run(updateRun), reporter(output)
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
    const DownloadFailure failure = run.useReleaseFolder(folder, olderAllowed);
    if (failure.isFailure())
        return refuse(reporter, QStringLiteral("the release folder ") + folder, failure);
    if (run.releaseFolder()->isOlderRelease())
        reporter.note(QStringLiteral("using the release folder %1 although its release is older "
                                     "than one used before (--allow-older-release)")
                          .arg(folder));
    reporter.release(version());
    if (wanted && *wanted != version()) {
        reporter.error(QStringLiteral("the release folder %1 holds version %2, not %3")
                           .arg(folder, version(), *wanted));
        return ExitCode::Catalogue;
    }
    return ExitCode::Success;
}
