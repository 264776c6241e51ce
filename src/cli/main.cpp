// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// lumetra-flash: the updater's update from a terminal. See lumetra-flash(1).
#include "commandline.h"
#include "flashtool.h"
#include "reporter.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
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
