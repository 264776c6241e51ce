// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QString>

// The signing time of the newest signed catalogue accepted so far, per release server and
// branch, kept in the user's settings (the store of the release branch, in a group of its own)
// so that a catalogue signed earlier is refused in every later run: a server or a folder cannot
// take the meters back to a release the maker has since replaced.
class CatalogueFreshness
{
public:
    // The newest time accepted for the branch from this server; 0 when none is known.
    static qint64 newest(const QString &serverUrl, const QString &branch);
    // The newest time accepted for the branch from any server: what a release folder is held
    // to, since the server it names is not covered by the signature.
    static qint64 newestOfBranch(const QString &branch);
    // Remembers `timestamp` for the server and branch unless a newer one is known.
    static void accepted(const QString &serverUrl, const QString &branch, qint64 timestamp);
};
