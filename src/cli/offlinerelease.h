// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "exitcode.h"
#include "metersession.h"
#include "releasebundle.h"
#include "updaterun.h"

#include <QList>
#include <QString>

#include <optional>

class Reporter;
struct DownloadFailure;

// The release that update --from takes from a folder written by download, in place of the
// server's. The whole folder is read and checked when it is opened, before any meter is
// touched, with the checks the server's answers get; the meter's images are then chosen from
// its catalogue by the client's own rules, so the update runs as it would online.
class OfflineRelease
{
public:
    OfflineRelease(UpdateRun &run, Reporter &reporter);

    // Reads and checks the bundle in folder, and makes it the run's source. `wanted`
    // is the version asked for, if any: it must be the one the folder holds. Says why when the
    // folder cannot be used.
    // With olderAllowed, a folder whose release is older than one used before is taken, and a
    // note says so.
    ExitCode open(const QString &folder, const std::optional<QString> &wanted,
                  bool olderAllowed = false);

    QString branch() const { return run.releaseFolder()->branch(); }
    QString version() const { return run.releaseFolder()->version(); }

    // Says why a release (subject: "the release folder DIR") cannot be used; its exit status:
    // an image that is not the published one is as a bad download, anything else as an unusable
    // catalogue.
    static ExitCode refuse(Reporter &reporter, const QString &subject,
                           const DownloadFailure &failure);

private:
    UpdateRun &run;
    Reporter &reporter;
};
