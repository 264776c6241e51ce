// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

// What the user asked for, checked and with defaults filled in.
struct Invocation
{
    enum class Command { List, Versions, Update, Flash, Download, History };

    Command command = Command::List;
    QString serverUrl; // the release server's base URL, without a trailing slash
    bool json = false;
    bool trace = false;
    bool quiet = false;
    bool betas = false;
    std::optional<QString> branch;  // none: the saved release-branch setting
    QString port;                   // a port name or serial number; empty: the only meter
    std::optional<QString> version; // update; none: the version the window would preselect
    QString file;                   // flash
    QString name;                   // flash: the name sent in the header block
    QString sha256;                 // flash: the file's expected SHA-256, lower case; empty: none
    QString output;                 // download: the bundle folder to write
    QString from;                   // update: the bundle folder to update from; empty: the server
    bool all = false;               // update: every attached meter at once
    QString historyPath;            // the update history file; empty: the usual one
    QString serial;                 // history: only the meter with this serial number
    QDateTime since;                // history: only records started since then (UTC)
    bool csv = false;               // history: as CSV
};

// Reads the command line: global options, a sub-command and the sub-command's own options and
// arguments. An option of another sub-command is refused, so a typo cannot be silently ignored.
class CommandLine
{
public:
    enum class Outcome { Run, ShowHelp, ShowVersion, UsageError };

    Outcome parse(const QStringList &arguments);

    const Invocation &invocation() const { return parsed; }
    // The help of the sub-command named on the line, or the general help without one.
    QString helpText() const { return help; }
    // One line saying what is wrong, for a usage error.
    QString error() const { return errorText; }

private:
    Outcome usageError(const QString &text);
    // --history, and the options of the history command.
    Outcome readHistoryOptions(const std::optional<QString> &history, const QString &serial,
                               const std::optional<QString> &since, bool csv);
    // The options of release folders, --all and --sha256 together with the rest of the line.
    Outcome checkReleaseOptions();

    Invocation parsed;
    QString help;
    QString errorText;
};
