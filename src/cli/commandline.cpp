// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "commandline.h"

#include "releasebranchsetting.h"

#include "nvkcloudinterface.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

namespace {

// "lumetra-flash help COMMAND" shows COMMAND's help, as in most command-line programs.
const QString helpWord = QStringLiteral("help");
// "2026-12-07": a day, from its midnight in UTC.
constexpr qsizetype dateLength = 10;

struct CommandInfo
{
    QString name;
    Invocation::Command command;
    QString summary;
    QString arguments; // syntax of the positional arguments after the command
};

const QList<CommandInfo> &commands()
{
    static const QList<CommandInfo> list{
        {QStringLiteral("list"), Invocation::Command::List,
         QStringLiteral("List the meters in bootloader mode, in the order the updater uses them."),
         QString()},
        {QStringLiteral("versions"), Invocation::Command::Versions,
         QStringLiteral("List the firmware versions of the release catalogue, newest last."),
         QString()},
        {QStringLiteral("update"), Invocation::Command::Update,
         QStringLiteral("Update the meter to VERSION (default: the newest) from the release "
                        "server."),
         QStringLiteral("[VERSION]")},
        {QStringLiteral("flash"), Invocation::Command::Flash,
         QStringLiteral("Write the local image FILE to the meter; no network is used."),
         QStringLiteral("FILE")},
        {QStringLiteral("download"), Invocation::Command::Download,
         QStringLiteral("Save VERSION (default: the newest) with its catalogue to a folder, for "
                        "update --from where there is no internet."),
         QStringLiteral("[VERSION]")},
        {QStringLiteral("history"), Invocation::Command::History,
         QStringLiteral("List the updates recorded on this computer, newest first."), QString()},
    };
    return list;
}

const CommandInfo *findCommand(const QString &name)
{
    for (const CommandInfo &info : commands()) {
        if (info.name == name)
            return &info;
    }
    return nullptr;
}

// The names Qt's own help option answers to on this system.
QStringList helpNames()
{
#ifdef Q_OS_WIN
    return {QStringLiteral("?"), QStringLiteral("h"), QStringLiteral("help")};
#else
    return {QStringLiteral("h"), QStringLiteral("help")};
#endif
}

QCommandLineOption hiddenFromHelp(QCommandLineOption option)
{
    option.setFlags(QCommandLineOption::HiddenFromHelp);
    return option;
}

// Cut off the slashes a copied URL or path often ends in: the client appends "/<path>" itself.
QString withoutTrailingSlashes(QString text)
{
    while (text.endsWith(QLatin1Char('/')))
        text.chop(1);
    return text;
}

// Every option the program knows. Each sub-command accepts the global ones and its own.
struct Options
{
    QCommandLineOption help{helpNames(),
                            QStringLiteral("Print this help, or the help of the command named.")};
    // Qt's own help option also offers --help-all, which adds Qt's generic options; this program
    // has none worth showing. It is not offered, but whoever types it out of habit gets the help.
    QCommandLineOption helpAll =
        hiddenFromHelp(QCommandLineOption(QStringLiteral("help-all"), QString()));
    QCommandLineOption server{QStringLiteral("server"),
                              QStringLiteral("Release server base URL (default: %1).")
                                  .arg(NVKCloudInterface::defaultServerUrl()),
                              QStringLiteral("URL")};
    QCommandLineOption json{QStringLiteral("json"),
                            QStringLiteral("Print JSON: a document for listings, one object a "
                                           "line for the events of update and flash.")};
    QCommandLineOption trace{QStringLiteral("trace"),
                             QStringLiteral("Write a protocol trace to standard error.")};
    QCommandLineOption quiet{{QStringLiteral("q"), QStringLiteral("quiet")},
                             QStringLiteral("Print no status lines, progress or notes; errors "
                                            "and results still appear.")};
    QCommandLineOption betas{QStringLiteral("betas"),
                             QStringLiteral("Include pre-releases and betas.")};
    QCommandLineOption branch{
        QStringLiteral("branch"),
        QStringLiteral("Use release branch B (default: the saved setting, else cust)."),
        QStringLiteral("B")};
    QCommandLineOption port{QStringLiteral("port"),
                            QStringLiteral("Use the meter on port NAME, or with the USB serial "
                                           "number NAME (see list); needed when several meters "
                                           "are attached."),
                            QStringLiteral("NAME")};
    QCommandLineOption name{QStringLiteral("name"),
                            QStringLiteral("Name sent to the meter with the image (default: "
                                           "FILE's name without directory and extension)."),
                            QStringLiteral("NAME")};

    QCommandLineOption sha256{QStringLiteral("sha256"),
                              QStringLiteral("Refuse FILE unless its SHA-256 is HEX (64 hex "
                                             "digits, as sha256sum prints it)."),
                              QStringLiteral("HEX")};
    QCommandLineOption output{QStringLiteral("output"),
                              QStringLiteral("Write the release to the new folder DIR."),
                              QStringLiteral("DIR")};
    QCommandLineOption from{QStringLiteral("from"),
                            QStringLiteral("Update from the release folder DIR that download "
                                           "wrote, without the server."),
                            QStringLiteral("DIR")};
    QCommandLineOption allowOlder{QStringLiteral("allow-older-release"),
                                  QStringLiteral("With --from: use the folder even if its release "
                                                 "is older than one used before.")};
    QCommandLineOption all{QStringLiteral("all"),
                           QStringLiteral("Update every attached meter at once.")};
    // Given by update --all to each of its workers, never typed by a person.
    QCommandLineOption retry = hiddenFromHelp(
        QCommandLineOption(QStringLiteral("retry-command"), QString(), QStringLiteral("LINE")));
    QCommandLineOption history{QStringLiteral("history"),
                               QStringLiteral("Keep the update history in FILE (default: "
                                              "$LUMETRA_HISTORY, else "
                                              "~/.local/share/lumetra-updater/history.sqlite)."),
                               QStringLiteral("FILE")};
    QCommandLineOption serial{QStringLiteral("serial"),
                              QStringLiteral("Only the meter with the serial number S."),
                              QStringLiteral("S")};
    QCommandLineOption since{QStringLiteral("since"),
                             QStringLiteral("Only updates started on or after DATE (YYYY-MM-DD "
                                            "or an ISO 8601 time; UTC unless it says otherwise)."),
                             QStringLiteral("DATE")};
    QCommandLineOption csv{QStringLiteral("csv"), QStringLiteral("Print CSV instead of a table.")};

    QList<QCommandLineOption> helpOptions() const { return {help, helpAll}; }
    QList<QCommandLineOption> global() const { return {server, json, trace, quiet, history}; }
    QList<QCommandLineOption> of(Invocation::Command command) const
    {
        switch (command) {
        case Invocation::Command::List:
            return {};
        case Invocation::Command::Versions:
            return {betas, branch};
        case Invocation::Command::Update:
            return {port, all, from, allowOlder, branch, betas, retry};
        case Invocation::Command::Flash:
            return {name, port, sha256};
        case Invocation::Command::Download:
            return {output, branch, betas};
        case Invocation::Command::History:
            return {serial, port, since, csv};
        }
        return {};
    }
};

// "list, versions, update, flash, download or help": every command, so none is left out when one
// is added.
QString commandNames()
{
    QStringList names;
    for (const CommandInfo &info : commands())
        names.append(info.name);
    return names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + helpWord;
}

// An option as it is typed: -q, --quiet.
QString dashed(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

int leadingSpaces(const QString &line)
{
    int count = 0;
    while (count < line.size() && line.at(count) == QLatin1Char(' '))
        ++count;
    return count;
}

// Where the wrapped rest of a line goes on: under the description of a command or an option
// (the text after the first gap of two spaces), unless that leaves too little room, else under
// the line's own start.
qsizetype hangingIndent(const QString &line, int columns)
{
    const int start = leadingSpaces(line);
    const qsizetype gap = line.indexOf(QLatin1String("  "), start);
    if (gap > 0) {
        const qsizetype description = gap + leadingSpaces(line.mid(gap));
        if (description < line.size() && description <= columns / 2)
            return description;
    }
    return start < columns / 2 ? start : 0;
}

QString withoutTrailingSpaces(QString text)
{
    while (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    return text;
}

QStringList wrappedLine(const QString &line, int columns)
{
    QStringList lines;
    const qsizetype indent = hangingIndent(line, columns);
    QString rest = line;
    while (rest.size() > columns) {
        // The last space that fits, past the indent so that every piece carries text.
        qsizetype cut = rest.lastIndexOf(QLatin1Char(' '), columns);
        if (cut <= indent)
            cut = columns; // a word wider than the room: cut inside it
        lines.append(withoutTrailingSpaces(rest.left(cut)));
        rest = QString(indent, QLatin1Char(' ')) + rest.mid(cut).trimmed();
    }
    lines.append(rest);
    return lines;
}

QString generalDescription()
{
    QString text = QStringLiteral(
        "Updates the firmware of the Lumetra RF power meter from a terminal: the same update as "
        "Lumetra Updater, for scripts, service benches and sites without the window.\n\n"
        "Commands:\n");
    for (const CommandInfo &info : commands())
        text += QStringLiteral("  %1  %2\n").arg(info.name, -8).arg(info.summary);
    text += QStringLiteral("  %1  Print the help of a command (help update), or this help.\n")
                .arg(helpWord, -8);
    text += QStringLiteral(
        "\nExit status: 0 success, 2 usage error, 3 no meter or its port would not open, 4 not a "
        "compatible meter, 5 catalogue unavailable or untrusted, unknown version, no firmware "
        "for this meter or a release folder that cannot be used, 6 download failed or an image "
        "that is not the published one, 7 flashing failed.\n\n"
        "Run 'lumetra-flash help COMMAND' for the options of a command.");
    return text;
}

// The server's base URL as the client wants it: http or https, a host, no query, and no
// trailing slash (the client appends "/<branch>/...").
std::optional<QString> serverUrl(const QString &given)
{
    const QString text = withoutTrailingSlashes(given);
    const QUrl url(text, QUrl::StrictMode);
    const bool web =
        url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
    if (!url.isValid() || !web || url.host().isEmpty() || url.hasQuery() || url.hasFragment())
        return std::nullopt;
    return text;
}

} // namespace

CommandLine::Outcome CommandLine::usageError(const QString &text)
{
    errorText = text;
    // Qt's own messages end in a full stop; ours do not, and a hint follows.
    if (errorText.endsWith(QLatin1Char('.')))
        errorText.chop(1);
    return Outcome::UsageError;
}

CommandLine::Outcome CommandLine::parse(const QStringList &arguments)
{
    const Options options;

    // First pass, knowing every option so that an option's value is never taken for the command:
    // only to find which command was named.
    QCommandLineParser scan;
    scan.addOptions(options.helpOptions());
    scan.addVersionOption();
    scan.addOptions(options.global());
    QStringList commandOptions;
    for (const CommandInfo &info : commands()) {
        for (const QCommandLineOption &option : options.of(info.command)) {
            if (!commandOptions.contains(option.names().first()))
                scan.addOption(option);
            commandOptions += option.names();
        }
    }
    scan.parse(arguments);
    QStringList words = scan.positionalArguments();
    const bool helpWanted = words.value(0) == helpWord;
    if (helpWanted)
        words.removeFirst();
    commandName = words.value(0);
    const CommandInfo *info = findCommand(commandName);

    // Second pass: the global options and the named command's own.
    QCommandLineParser parser;
    parser.addOptions(options.helpOptions());
    const QCommandLineOption versionOption = parser.addVersionOption();
    parser.addOptions(options.global());
    if (info) {
        parser.setApplicationDescription(info->summary);
        parser.addOptions(options.of(info->command));
        parser.addPositionalArgument(info->name, info->summary);
        if (!info->arguments.isEmpty()) {
            const QString argument = info->arguments;
            parser.addPositionalArgument(
                QString(argument).remove(QLatin1Char('[')).remove(QLatin1Char(']')),
                info->command == Invocation::Command::Flash
                    ? QStringLiteral("The image file to write.")
                    : QStringLiteral("Tag name of the version (see versions)."),
                argument);
        }
    } else {
        parser.setApplicationDescription(generalDescription());
        parser.addPositionalArgument(QStringLiteral("command"), commandNames() + QLatin1Char('.'),
                                     QStringLiteral("COMMAND [ARGUMENTS]"));
    }
    // Qt names the program by the path it was started with; the manual and scripts know it by
    // its name.
    help = parser.helpText();
    help.replace(0, help.indexOf(QLatin1Char(' '), help.indexOf(QLatin1Char(' ')) + 1),
                 QStringLiteral("Usage: lumetra-flash"));

    if (!parser.parse(arguments)) {
        if (!parser.unknownOptionNames().isEmpty())
            return unknownOptions(parser.unknownOptionNames(), commandOptions);
        return usageError(parser.errorText());
    }
    if (parser.isSet(versionOption))
        return Outcome::ShowVersion;
    if (helpWanted && words.size() > 1)
        return usageError(QStringLiteral("help takes at most one COMMAND"));
    if (helpWanted || parser.isSet(options.help) || parser.isSet(options.helpAll))
        return commandName.isEmpty() || info
                   ? Outcome::ShowHelp
                   : usageError(QStringLiteral("unknown command '%1'").arg(commandName));
    if (commandName.isEmpty())
        return usageError(QStringLiteral("no command given"));
    if (!info)
        return usageError(QStringLiteral("unknown command '%1'").arg(commandName));

    // Only the options added to this parser may be asked about (Qt warns about any other).
    const QList<QCommandLineOption> accepted = options.of(info->command);
    const auto given = [&](const QCommandLineOption &option) {
        const bool known = std::any_of(accepted.begin(), accepted.end(), [&](const auto &own) {
            return own.names() == option.names();
        });
        return known && parser.isSet(option);
    };

    parsed.command = info->command;
    const QStringList rest = parser.positionalArguments().mid(1);
    switch (info->command) {
    case Invocation::Command::List:
    case Invocation::Command::Versions:
    case Invocation::Command::History:
        if (!rest.isEmpty())
            return usageError(QStringLiteral("%1 takes no arguments").arg(info->name));
        break;
    case Invocation::Command::Update:
        if (rest.size() > 1)
            return usageError(QStringLiteral("update takes at most one VERSION"));
        if (!rest.isEmpty())
            parsed.version = rest.first();
        break;
    case Invocation::Command::Flash:
        if (rest.size() != 1)
            return usageError(QStringLiteral("flash takes exactly one FILE"));
        parsed.file = rest.first();
        parsed.name = given(options.name) ? parser.value(options.name)
                                          : QFileInfo(parsed.file).completeBaseName();
        break;
    case Invocation::Command::Download:
        if (rest.size() > 1)
            return usageError(QStringLiteral("download takes at most one VERSION"));
        if (!rest.isEmpty())
            parsed.version = rest.first();
        break;
    }

    parsed.serverUrl = NVKCloudInterface::defaultServerUrl();
    if (parser.isSet(options.server)) {
        const std::optional<QString> url = serverUrl(parser.value(options.server));
        if (!url)
            return usageError(QStringLiteral("--server wants an http or https URL such as "
                                             "http://releases.example.net, not '%1'")
                                  .arg(parser.value(options.server)));
        parsed.serverUrl = *url;
    }
    parsed.json = parser.isSet(options.json);
    parsed.trace = parser.isSet(options.trace);
    parsed.quiet = parser.isSet(options.quiet);
    parsed.betas = given(options.betas);
    if (given(options.branch)) {
        parsed.branch = ReleaseBranchSetting::normalised(parser.value(options.branch));
        const QString problem = parsed.branch->isEmpty()
                                    ? QString()
                                    : ReleaseBranchSetting::nameProblem(*parsed.branch);
        if (!problem.isEmpty())
            return usageError(QStringLiteral("--branch wants a release branch name: ") + problem);
    }
    if (given(options.port)) {
        parsed.port = parser.value(options.port);
        if (parsed.port.isEmpty())
            return usageError(
                QStringLiteral("--port wants a port name or a serial number (see list)"));
    }
    parsed.all = given(options.all);
    parsed.from = given(options.from) ? parser.value(options.from) : QString();
    // An empty --from must not quietly become an update from the server.
    if (given(options.from) && parsed.from.isEmpty())
        return usageError(QStringLiteral("--from wants the folder that download wrote"));
    parsed.allowOlderRelease = given(options.allowOlder);
    if (parsed.allowOlderRelease && parsed.from.isEmpty())
        return usageError(QStringLiteral("--allow-older-release is for a release folder; it "
                                         "needs --from DIR"));
    parsed.output = given(options.output) ? parser.value(options.output) : QString();
    parsed.sha256 = given(options.sha256) ? parser.value(options.sha256).toLower() : QString();
    parsed.retryCommand = given(options.retry) ? parser.value(options.retry) : QString();
    const Outcome historyOptions = readHistoryOptions(
        parser.isSet(options.history) ? std::optional(parser.value(options.history)) : std::nullopt,
        given(options.serial) ? parser.value(options.serial) : QString(),
        given(options.since) ? std::optional(parser.value(options.since)) : std::nullopt,
        given(options.csv));
    if (historyOptions != Outcome::Run)
        return historyOptions;
    return checkReleaseOptions();
}

CommandLine::Outcome CommandLine::readHistoryOptions(const std::optional<QString> &history,
                                                     const QString &serial,
                                                     const std::optional<QString> &since, bool csv)
{
    if (history) {
        parsed.historyPath = *history;
        if (parsed.historyPath.isEmpty())
            return usageError(QStringLiteral("--history wants the file that keeps the history"));
    }
    if (parsed.command != Invocation::Command::History)
        return Outcome::Run;
    parsed.serial = serial;
    parsed.csv = csv;
    if (csv && parsed.json)
        return usageError(QStringLiteral("history prints either --json or --csv, not both"));
    if (since) {
        const QString &text = *since;
        const QDate day = QDate::fromString(text, Qt::ISODate);
        QDateTime time = day.isValid() && text.size() == dateLength
                             ? QDateTime(day, QTime(0, 0), Qt::UTC)
                             : QDateTime::fromString(text, Qt::ISODateWithMs);
        if (time.isValid() && time.timeSpec() == Qt::LocalTime)
            time.setTimeSpec(Qt::UTC); // an ISO time without a zone: UTC, as the records are
        if (!time.isValid())
            return usageError(QStringLiteral("--since wants a date such as 2026-12-07 or a time "
                                             "such as 2026-12-07T14:30Z, not '%1'")
                                  .arg(text));
        parsed.since = time.toUTC();
    }
    return Outcome::Run;
}

CommandLine::Outcome CommandLine::unknownOptions(const QStringList &names,
                                                 const QStringList &otherCommands)
{
    const CommandInfo *info = findCommand(commandName);
    for (const QString &name : names) {
        if (info && otherCommands.contains(name))
            return usageError(QStringLiteral("%1 does not take %2").arg(info->name, dashed(name)));
    }
    QStringList typed;
    for (const QString &name : names)
        typed.append(dashed(name));
    return usageError(QStringLiteral("unknown option%1 %2")
                          .arg(typed.size() > 1 ? QStringLiteral("s") : QString(),
                               typed.join(QStringLiteral(", "))));
}

QString CommandLine::helpCommand() const
{
    return findCommand(commandName)
               ? QStringLiteral("lumetra-flash %1 %2").arg(helpWord, commandName)
               : QStringLiteral("lumetra-flash --help");
}

QString CommandLine::wrapped(const QString &text, int columns)
{
    QStringList lines;
    for (const QString &line : text.split(QLatin1Char('\n')))
        lines += wrappedLine(line, qMax(columns, 1));
    return lines.join(QLatin1Char('\n'));
}

CommandLine::Outcome CommandLine::checkReleaseOptions()
{
    static const QRegularExpression sha256Digits(QStringLiteral("^[0-9a-f]{64}$"));
    if (parsed.all && !parsed.port.isEmpty())
        return usageError(QStringLiteral("--all updates every meter attached; it takes no --port"));
    if (!parsed.from.isEmpty() && parsed.branch)
        return usageError(QStringLiteral("--from takes the branch from the release folder; it "
                                         "takes no --branch"));
    if (parsed.command == Invocation::Command::Download && parsed.output.isEmpty())
        return usageError(QStringLiteral("download needs --output DIR, a folder that does not "
                                         "exist yet"));
    if (parsed.command == Invocation::Command::Flash && !parsed.sha256.isNull() &&
        !sha256Digits.match(parsed.sha256).hasMatch())
        return usageError(QStringLiteral("--sha256 wants the 64 hex digits that sha256sum prints, "
                                         "not '%1'")
                              .arg(parsed.sha256));
    return Outcome::Run;
}
