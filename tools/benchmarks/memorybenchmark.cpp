// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// How much memory a hostile release server can make the programs take: each kind of answer
// (catalogue, signature, image) comes as a 3 GiB `Transfer-Encoding: chunked` body at loopback
// speed, and the peak resident memory of the process is printed, for lumetra-flash (versions,
// and download --output) and for the client as the window drives it (bounded-client). The bytes
// the server got out before the client hung up are printed beside it.
//
//   memory-benchmark [GIB]     (default 3)
#include "floodserver.h"

#include <QByteArray>
#include <QTemporaryDir>

#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

constexpr std::uint64_t bytesPerMebibyte = 1024 * 1024;
constexpr std::uint64_t bytesPerGibibyte = 1024 * bytesPerMebibyte;
constexpr long kibPerMebibyte = 1024;

const std::string catalogue =
    R"([{"product":"Lumetra","versions":[{"tag_name":"1.0.0","prerelease":"false",)"
    R"("isbeta":"false","ABCDEFfirmware":"image.bin"}]}])";

struct Measured
{
    long peakKib = 0;
    std::string ending;
};

std::string endingOf(int status)
{
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    return "exit " + std::to_string(WEXITSTATUS(status));
}

// Runs the program with its output thrown away and returns its own peak resident memory.
Measured run(const std::vector<std::string> &arguments)
{
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    Measured measured;
    if (posix_spawn(&child, argv.front(), &actions, nullptr, argv.data(), environ) != 0) {
        measured.ending = "could not start";
        return measured;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    measured.peakKib = usage.ru_maxrss;
    measured.ending = endingOf(status);
    return measured;
}

std::vector<FloodServer::Answer> answersFlooding(const std::string &kind, std::uint64_t bytes)
{
    FloodServer::Answer signature{"lumetrarelease.minisig", std::string(), 0, std::string()};
    FloodServer::Answer list{"/lumetrarelease/", catalogue, 0, std::string()};
    FloodServer::Answer image{"lumetra.php", std::string(4096, 'x'), 0, std::string()};
    if (kind == "catalogue")
        list.floodBytes = bytes;
    else if (kind == "signature")
        signature.floodBytes = bytes;
    else
        image.floodBytes = bytes;
    std::vector<FloodServer::Answer> answers{list, image};
    if (kind == "signature")
        answers.insert(answers.begin(), signature);
    return answers;
}

void measure(const std::string &kind, const std::string &program,
             const std::vector<std::string> &arguments, std::uint64_t bytes)
{
    FloodServer server(answersFlooding(kind, bytes));
    std::vector<std::string> command = arguments;
    for (std::string &argument : command) {
        if (argument == "SERVER")
            argument = server.baseUrl();
    }
    const Measured measured = run(command);
    std::printf("%-10s %-34s peak %5ld MiB  server sent %6llu MiB  (%s)\n", kind.c_str(),
                program.c_str(), measured.peakKib / kibPerMebibyte,
                static_cast<unsigned long long>(server.floodBytesSent() / bytesPerMebibyte),
                measured.ending.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    const std::uint64_t gib = argc > 1 ? std::stoull(argv[1]) : 3;
    const std::uint64_t bytes = gib * bytesPerGibibyte;
    QTemporaryDir home;
    // Nothing of the user's saved settings may change what is asked for.
    setenv("XDG_CONFIG_HOME", home.path().toLocal8Bit().constData(), 1);
    const std::string flash = LUMETRA_FLASH_PATH;
    const std::string client = BOUNDED_CLIENT_PATH;
    std::printf("Peak resident memory against a %llu GiB chunked answer at loopback speed\n",
                static_cast<unsigned long long>(gib));
    int folder = 0;
    for (const std::string kind : {"catalogue", "signature", "image"}) {
        const std::string output =
            home.filePath(QStringLiteral("release-%1").arg(++folder)).toStdString();
        if (kind == "catalogue")
            measure(kind, "lumetra-flash versions",
                    {flash, "--server", "SERVER", "versions", "--branch", "cust"}, bytes);
        measure(kind, "lumetra-flash download --output",
                {flash, "--server", "SERVER", "download", "--branch", "cust", "--output", output},
                bytes);
        measure(kind, "client as the window drives it", {client, kind, "SERVER"}, bytes);
    }
    return 0;
}
