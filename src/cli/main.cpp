// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// lumetra-flash: the updater's update from a terminal. See lumetra-flash(1).
#include "commandline.h"
#include "flashtool.h"
#include "reporter.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The width help is wrapped to: the terminal's, or the usual 80 columns in a pipe or a file.
int helpColumns()
{
    winsize size{};
    if (isatty(STDOUT_FILENO) == 1 && ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 &&
        size.ws_col > 0)
        return size.ws_col;
    return CommandLine::defaultColumns;
}

} // namespace

int main(int argc, char *argv[])
{
    // A reader that goes away (lumetra-flash update | head -n 3) must not kill an update half-way
    // through writing the meter: output to it is simply lost.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lumetra-flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(LUMETRA_VERSION));

    CommandLine commandLine;
    switch (commandLine.parse(QCoreApplication::arguments())) {
    case CommandLine::Outcome::ShowHelp:
        std::fputs(qPrintable(commandLine.helpText(helpColumns())), stdout);
        return int(ExitCode::Success);
    case CommandLine::Outcome::ShowVersion:
        std::printf("lumetra-flash %s\n", LUMETRA_VERSION);
        return int(ExitCode::Success);
    case CommandLine::Outcome::UsageError:
        std::fprintf(stderr, "lumetra-flash: %s (see %s)\n", qPrintable(commandLine.error()),
                     qPrintable(commandLine.helpCommand()));
        return int(ExitCode::Usage);
    case CommandLine::Outcome::Run:
        break;
    }

    const Invocation &invocation = commandLine.invocation();
    Reporter reporter(invocation.json, invocation.quiet, invocation.trace);
    FlashTool tool(invocation, reporter);
    return int(tool.run());
}
