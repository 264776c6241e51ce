// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QString>
#include <QUrl>

// Where a release branch's files are on the release server, below its base URL: the catalogue,
// its signature and the download script. Every request to the server takes its address from
// here, so the layout is written once.
class ReleaseLocation
{
public:
    enum class Resource {
        Catalogue, // <branch>/lumetrarelease/
        Signature, // <branch>/lumetrarelease.minisig
        Firmware,  // <branch>/lumetra.php?version=<file value>
    };

    // The address of `resource` of `branch` on the server at `serverUrl`. `fileValue` is the
    // catalogue's value of a firmware member, for Resource::Firmware only: it travels as one
    // query value, whatever it holds. The branch must have passed
    // ReleaseBranchSetting::nameProblem(): it is put into the path as it is.
    static QUrl url(const QString &serverUrl, const QString &branch, Resource resource,
                    const QString &fileValue = QString());
};
