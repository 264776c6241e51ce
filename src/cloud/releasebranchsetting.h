// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QString>

// The release branch the user chose, kept in the user's settings (organisation "Norvatek",
// application "Divirare2", key "ReleaseBranch") for the window and the command-line program
// alike, and the one rule every branch name follows wherever it comes from (the dialog, the
// saved setting, --branch).
//
// A branch is a path on the release server, so its name must stay one: one or more segments
// separated by '/', each of letters, digits, '.', '_' and '-' and none of them "." or "..", at
// most 100 characters. Anything else ("../../etc", "%2e%2e", "cust?x=1", "cust#frag") would
// leave the branch's folder or change what the request means.
class ReleaseBranchSetting
{
public:
    static constexpr qsizetype longestBranchName = 100;

    // The branch every user gets unless support handed them another one.
    static QString standardBranch();
    // The stored text, empty when nothing is stored (what the branch dialog shows).
    static QString stored();
    // Stored exactly as given: a name that breaks the rule is never stored by the dialog, but a
    // settings file edited by hand is read all the same, and refused when used.
    static void store(const QString &branch);
    // The branch whose catalogue is requested: the stored one without one trailing '/', the
    // standard branch when the key is absent or empty. Not checked: see nameProblem().
    static QString current();

    // The name as it is used: one trailing '/' dropped, which a path copied from a browser has.
    static QString normalised(const QString &branch);
    // Why `branch` (already normalised) cannot name a release branch, as a clause such as
    // "\"a b\" holds a character other than letters, digits, '.', '_', '-' and '/'"; empty when
    // it can. The name is quoted with anything unprintable escaped, so the clause is safe to
    // show anywhere.
    static QString nameProblem(const QString &branch);
    // A character a segment may hold: letters and digits of ASCII, '.', '_' and '-'. A plain file
    // name of a release folder is made of the same.
    static bool isSegmentCharacter(QChar character);
};
