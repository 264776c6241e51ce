// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "benchtool.h"

#include "reason.h"

#include "deviceports.h"
#include "interruptguard.h"
#include "nvkcloudinterface.h"
#include "reporter.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>

#include <csignal>
#include <unistd.h>

namespace {

const QString releaseSubfolder = QStringLiteral("release");
constexpr double millisecondsPerSecond = 1000.0;
// A worker stopped at once still takes a moment to be reaped.
constexpr int stoppedWorkerWaitMs = 1000;
// What a worker that ended without its result is counted as: its meter may have been written.
const QString lostReason = reasonCode(Reason::WorkerFailed);

// Whole lines from a buffer of a worker's output; what follows the last line end stays.
QList<QByteArray> takeLines(QByteArray &buffer)
{
    QList<QByteArray> lines;
    qsizetype end;
    while ((end = buffer.indexOf('\n')) >= 0) {
        lines.append(buffer.left(end));
        buffer.remove(0, end + 1);
    }
    return lines;
}

// A word as a shell takes it back: quoted unless it is plainly one word.
QString shellWord(const QString &word)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_@%+=:,./-]+$"));
    if (plain.match(word).hasMatch())
        return word;
    return QLatin1Char('\'') + QString(word).replace(QLatin1Char('\''), QLatin1String("'\\''")) +
           QLatin1Char('\'');
}

} // namespace

BenchTool::BenchTool(const Invocation &invocationToRun, Reporter &output)
    : invocation(invocationToRun), reporter(output)
{
    QObject::connect(&stopSignals, &StopSignals::received, &stopSignals,
                     [this](int signal) { interrupted(signal); });
}

BenchTool::~BenchTool() = default;

bool BenchTool::findMeters()
{
    const QList<QSerialPortInfo> meters = DevicePorts::find(DevicePorts::deviceIdentifiers());
    for (const QSerialPortInfo &meter : meters)
        workers.push_back({meter, nullptr, {}, {}, std::nullopt, false, false});
    if (meters.isEmpty())
        reporter.error(QStringLiteral("no meter in bootloader mode found"));
    return !meters.isEmpty();
}

ExitCode BenchTool::endWithoutMeters()
{
    // A script reads the bench object last, whatever happened: it also says that there was none.
    if (reporter.json())
        BenchDisplay(reporter, {}).summary({}, ExitCode::NoMeter, -1, 0.0);
    return ExitCode::NoMeter;
}

QString BenchTool::retryCommand(const QSerialPortInfo &meter) const
{
    // The serial number follows the meter to whichever port it comes back on.
    const QString name = meter.serialNumber().isEmpty() ? meter.portName() : meter.serialNumber();
    QStringList words{QStringLiteral("lumetra-flash")};
    if (invocation.serverUrl != NVKCloudInterface::defaultServerUrl())
        words += {QStringLiteral("--server"), invocation.serverUrl};
    words += {QStringLiteral("update"), QStringLiteral("--port"), name};
    if (!invocation.from.isEmpty())
        words += {QStringLiteral("--from"), invocation.from};
    if (invocation.allowOlderRelease)
        words.append(QStringLiteral("--allow-older-release"));
    if (invocation.branch)
        words += {QStringLiteral("--branch"), *invocation.branch};
    if (invocation.betas)
        words.append(QStringLiteral("--betas"));
    if (invocation.version)
        words.append(*invocation.version);
    for (QString &word : words)
        word = shellWord(word);
    return words.join(QLatin1Char(' '));
}

QString BenchTool::releaseFolder()
{
    if (!scratch)
        scratch.emplace(QDir::temp().filePath(QStringLiteral("lumetra-flash-bench-XXXXXX")));
    return scratch->filePath(releaseSubfolder);
}

ExitCode BenchTool::run(const QString &folder)
{
    QStringList ports;
    for (const Worker &worker : workers)
        ports.append(worker.meter.portName());
    display = std::make_unique<BenchDisplay>(reporter, ports);
    if (!reporter.json() && !reporter.isQuiet())
        reporter.line(QStringLiteral("Updating %1 meters: %2")
                          .arg(ports.size())
                          .arg(ports.join(QStringLiteral(", "))),
                      UpdateStep::Tone::Stage);

    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    running = int(workers.size());
    for (int index = 0; index < int(workers.size()); ++index) {
        start(index, folder);
        QObject::connect(workers[index].process.get(), &QProcess::finished, &loop, [&] {
            if (running == 0)
                loop.quit();
        });
    }
    if (running > 0)
        loop.exec();

    QList<UpdateRecord> results;
    ExitCode code = ExitCode::Success;
    int firstFailure = -1;
    for (int index = 0; index < int(workers.size()); ++index) {
        const UpdateRecord &result = *workers[index].result;
        results.append(result);
        if (firstFailure < 0 && !result.ok()) {
            firstFailure = index;
            code = ExitCode(result.exitCode);
        }
    }
    display->summary(results, code, firstFailure, double(clock.elapsed()) / millisecondsPerSecond);
    return code;
}

void BenchTool::start(int index, const QString &folder)
{
    Worker &worker = workers[index];
    worker.process = std::make_unique<QProcess>();
    QProcess *process = worker.process.get();
    QStringList arguments{QStringLiteral("--json")};
    if (invocation.trace)
        arguments.append(QStringLiteral("--trace"));
    if (invocation.quiet)
        arguments.append(QStringLiteral("--quiet"));
    arguments +=
        {QStringLiteral("update"),  QStringLiteral("--from"), folder,
         QStringLiteral("--port"),  worker.meter.portName(),  QStringLiteral("--retry-command"),
         retryCommand(worker.meter)};
    if (invocation.allowOlderRelease)
        arguments.append(QStringLiteral("--allow-older-release"));
    if (!invocation.historyPath.isEmpty())
        arguments += {QStringLiteral("--history"), invocation.historyPath};
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QLatin1String(Reporter::benchWorkerVariable), QStringLiteral("1"));
    process->setProcessEnvironment(environment);
    // A process group of its own: a Ctrl-C at the terminal reaches this process, which decides.
    process->setChildProcessModifier([] { ::setpgid(0, 0); });
    QObject::connect(process, &QProcess::readyReadStandardOutput, process,
                     [this, index] { readOutput(index); });
    QObject::connect(process, &QProcess::readyReadStandardError, process,
                     [this, index] { readErrors(index); });
    QObject::connect(process, &QProcess::finished, process,
                     [this, index](int exitCode, QProcess::ExitStatus status) {
                         ended(index,
                               status == QProcess::CrashExit
                                   ? QStringLiteral("it crashed")
                                   : QStringLiteral("it ended with status %1").arg(exitCode));
                     });
    QObject::connect(process, &QProcess::errorOccurred, process, [this, index, process] {
        if (process->state() == QProcess::NotRunning && !workers[index].ended) {
            ended(index, process->errorString());
            // finished() never comes for a worker that did not start.
            emit process->finished(-1, QProcess::CrashExit);
        }
    });
    process->start(QCoreApplication::applicationFilePath(), arguments);
}

void BenchTool::readOutput(int index)
{
    Worker &worker = workers[index];
    worker.output += worker.process->readAllStandardOutput();
    for (const QByteArray &line : takeLines(worker.output))
        handle(index, QJsonDocument::fromJson(line).object());
}

void BenchTool::readErrors(int index)
{
    Worker &worker = workers[index];
    worker.errors += worker.process->readAllStandardError();
    for (const QByteArray &line : takeLines(worker.errors))
        display->message(index, QString::fromUtf8(line));
}

void BenchTool::handle(int index, const QJsonObject &object)
{
    Worker &worker = workers[index];
    const JsonEvent event = JsonEvent::fromJson(object);
    if (event.kind == JsonEvent::Kind::Result) {
        worker.result = UpdateRecord::fromJson(object);
        worker.writing = false;
        return;
    }
    // The step with which a worker starts writing to its meter, as it does for one meter: from
    // here until its result the first Ctrl-C is refused.
    if (event.kind == JsonEvent::Kind::Status &&
        event.step == UpdateStep::of(UpdateStep::Kind::FlashingFirmware).code())
        worker.writing = true;
    if (reporter.json())
        display->forward(index, object);
    else if (event.kind == JsonEvent::Kind::Status)
        display->status(index, event.text, UpdateStep::toneOf(event.step));
    else if (event.kind == JsonEvent::Kind::Progress)
        display->progress(index, event.image, double(event.bytesPerSecond));
}

void BenchTool::ended(int index, const QString &why)
{
    Worker &worker = workers[index];
    if (worker.ended)
        return;
    worker.ended = true;
    --running;
    // Whatever is left in the pipes, a last line without its line end included.
    readOutput(index);
    readErrors(index);
    if (!worker.output.isEmpty())
        handle(index, QJsonDocument::fromJson(worker.output).object());
    if (!worker.errors.isEmpty())
        display->message(index, QString::fromUtf8(worker.errors));
    if (!worker.result)
        worker.result = lostResult(worker, why);
    worker.writing = false;
}

UpdateRecord BenchTool::lostResult(const Worker &worker, const QString &why) const
{
    UpdateRecord lost;
    lost.program = UpdateRecord::Program::Bench;
    lost.port = worker.meter.portName();
    lost.serialNumber = worker.meter.serialNumber();
    lost.result = UpdateRecord::Result::Failed;
    lost.exitCode = int(ExitCode::Flashing);
    lost.message = lost.detail = QStringLiteral("the worker ended without a result: ") + why;
    lost.reason = lostReason;
    return lost;
}

void BenchTool::interrupted(int signal)
{
    ++signalsSeen;
    const bool anyWriting = std::any_of(workers.begin(), workers.end(),
                                        [](const Worker &worker) { return worker.writing; });
    if (signalsSeen == 1 && anyWriting) {
        if (display)
            display->notice(InterruptGuard::refusalLine());
        else
            reporter.line(InterruptGuard::refusalLine(), UpdateStep::Tone::Silent, true);
        return;
    }
    // Stopped at once, as a second Ctrl-C stops one meter's update: no result, no summary.
    QStringList halfWritten;
    for (Worker &worker : workers) {
        if (!worker.process || worker.process->state() == QProcess::NotRunning)
            continue;
        if (worker.writing)
            halfWritten.append(worker.meter.portName());
        ::kill(pid_t(worker.process->processId()), SIGKILL);
        worker.process->waitForFinished(stoppedWorkerWaitMs);
    }
    if (!halfWritten.isEmpty())
        reporter.line(QStringLiteral("lumetra-flash: stopped; the meters on %1 may be "
                                     "half-written")
                          .arg(halfWritten.join(QStringLiteral(", "))),
                      UpdateStep::Tone::Silent, true);
    scratch.reset();
    StopSignals::endBy(signal);
}
