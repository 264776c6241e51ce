// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QString>

// The release branch the user chose, kept in the user's settings (organisation "Norvatek",
// application "Divirare2", key "ReleaseBranch") for the window and the command-line program
// alike. The value is kept exactly as typed: no trimming, no case folding, no validation.
class ReleaseBranchSetting
{
public:
    // The branch every user gets unless support handed them another one.
    static QString standardBranch();
    // The stored text, empty when nothing is stored (what the branch dialog shows).
    static QString stored();
    static void store(const QString &branch);
    // The branch whose catalogue is requested: the stored one, the standard branch when the key
    // is absent or empty.
    static QString current();
};
