// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "releasebranchsetting.h"

#include <QSettings>

namespace {
const QString settingsOrganisation = QStringLiteral("Norvatek");
const QString settingsApplication = QStringLiteral("Divirare2");
const QString releaseBranchKey = QStringLiteral("ReleaseBranch");
} // namespace

QString ReleaseBranchSetting::standardBranch()
{
    return QStringLiteral("cust");
}

QString ReleaseBranchSetting::stored()
{
    return QSettings(settingsOrganisation, settingsApplication)
        .value(releaseBranchKey, QString())
        .toString();
}

void ReleaseBranchSetting::store(const QString &branch)
{
    QSettings(settingsOrganisation, settingsApplication).setValue(releaseBranchKey, branch);
}

QString ReleaseBranchSetting::current()
{
    const QString branch = stored();
    return branch.isEmpty() ? standardBranch() : branch;
}
