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
        std::fputs(qPrintable(commandLine.helpText()), stdout);
        return int(ExitCode::Success);
    case CommandLine::Outcome::ShowVersion:
        std::printf("lumetra-flash %s\n", LUMETRA_VERSION);
        return int(ExitCode::Success);
    case CommandLine::Outcome::UsageError:
        std::fprintf(stderr, "lumetra-flash: %s (see lumetra-flash --help)\n",
                     qPrintable(commandLine.error()));
        return int(ExitCode::Usage);
    case CommandLine::Outcome::Run:
        break;
    }

    const Invocation &invocation = commandLine.invocation();
    Reporter reporter(invocation.json, invocation.quiet, invocation.trace);
    FlashTool tool(invocation, reporter);
    return int(tool.run());
}
