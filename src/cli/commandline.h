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
    // update: the command line that repeats this run for its meter alone, for the advice after a
    // failed transfer; a worker of update --all is given it, as its own command line would
    // repeat the whole bench. Empty: "the command".
    QString retryCommand;
    bool allowOlderRelease = false; // update --from: a folder older than the newest release used
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
    // Lines of help are wrapped to this many columns when nothing narrower is known.
    static constexpr int defaultColumns = 80;

    // The help of the sub-command named on the line, or the general help without one, with no
    // line wider than columns.
    QString helpText(int columns = defaultColumns) const { return wrapped(help, columns); }
    // One line saying what is wrong, for a usage error.
    QString error() const { return errorText; }
    // The command that shows the help a usage error needs: that of the command named, if any.
    QString helpCommand() const;

    // text with every line longer than columns broken at spaces; the rest of a line that
    // describes a command or an option continues under the description.
    static QString wrapped(const QString &text, int columns);

private:
    Outcome usageError(const QString &text);
    // --history, and the options of the history command.
    Outcome readHistoryOptions(const std::optional<QString> &history, const QString &serial,
                               const std::optional<QString> &since, bool csv);
    // The options of release folders, --all and --sha256 together with the rest of the line.
    Outcome checkReleaseOptions();

    // The usage error for options that no command, or not this one, takes.
    Outcome unknownOptions(const QStringList &names, const QStringList &otherCommands);

    Invocation parsed;
    QString help;
    QString commandName; // the command named on the line, when it is one
    QString errorText;
};
