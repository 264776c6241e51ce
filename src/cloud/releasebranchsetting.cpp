// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "releasebranchsetting.h"

#include <QSettings>
#include <QStringList>

namespace {
const QString settingsOrganisation = QStringLiteral("Norvatek");
const QString settingsApplication = QStringLiteral("Divirare2");
const QString releaseBranchKey = QStringLiteral("ReleaseBranch");
const QChar separator = QLatin1Char('/');

// The name between quotes, each character outside printable ASCII shown as \uXXXX, so that a
// settings file cannot put a control character or markup on a terminal or in the window.
QString quoted(const QString &name)
{
    constexpr char16_t firstPrintable = 0x20;
    constexpr char16_t lastPrintable = 0x7E;
    constexpr int hexDigits = 4;
    constexpr int hexBase = 16;
    constexpr qsizetype longestShown = 2 * ReleaseBranchSetting::longestBranchName;
    QString shown;
    for (const QChar character : name.left(longestShown)) {
        const char16_t code = character.unicode();
        if (code < firstPrintable || code > lastPrintable)
            shown += QStringLiteral("\\u%1").arg(int(code), hexDigits, hexBase, QLatin1Char('0'));
        else
            shown += character;
    }
    if (name.size() > longestShown)
        shown += QStringLiteral("...");
    return QLatin1Char('"') + shown + QLatin1Char('"');
}
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
    const QString branch = normalised(stored());
    return branch.isEmpty() ? standardBranch() : branch;
}

bool ReleaseBranchSetting::isSegmentCharacter(QChar character)
{
    return (character >= QLatin1Char('a') && character <= QLatin1Char('z')) ||
           (character >= QLatin1Char('A') && character <= QLatin1Char('Z')) ||
           (character >= QLatin1Char('0') && character <= QLatin1Char('9')) ||
           character == QLatin1Char('.') || character == QLatin1Char('_') ||
           character == QLatin1Char('-');
}

QString ReleaseBranchSetting::normalised(const QString &branch)
{
    return branch.endsWith(separator) ? branch.chopped(1) : branch;
}

QString ReleaseBranchSetting::nameProblem(const QString &branch)
{
    if (branch.isEmpty())
        return QStringLiteral("the branch name is empty");
    if (branch.size() > longestBranchName)
        return QStringLiteral("%1 is longer than %2 characters")
            .arg(quoted(branch))
            .arg(longestBranchName);
    if (!std::all_of(branch.begin(), branch.end(),
                     [](QChar c) { return c == separator || isSegmentCharacter(c); }))
        return QStringLiteral("%1 holds a character other than letters, digits, '.', '_', '-' "
                              "and '/'")
            .arg(quoted(branch));
    const QStringList segments = branch.split(separator);
    for (const QString &segment : segments) {
        if (segment.isEmpty())
            return QStringLiteral("%1 has an empty part between '/'").arg(quoted(branch));
        if (segment == QLatin1String(".") || segment == QLatin1String(".."))
            return QStringLiteral("%1 has a part that is \".\" or \"..\"").arg(quoted(branch));
    }
    return QString();
}
