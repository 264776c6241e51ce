// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// lumetra-fault-campaign: proves the flasher against a faulty meter by numbers.
//
//   lumetra-fault-campaign [--seed S] [--runs N] [--jobs J] [--ack-timeout-ms T]
//   lumetra-fault-campaign --replay RUN-SEED
//
// Each run flashes a random image through FirmwareFlasher into the simulated meter on a
// pseudo-terminal of its own, with one random fault at a random packet (a third of them at the
// header, the first or last data block, the end of transmission or the closing block), and is
// checked against one invariant: flashImage returned true exactly when the meter holds the
// identical image, the run ended within its bound of time, and no byte that followed a cancel
// was read by the meter as a command. A healthy meter must always get its image.
//
// Prints the runs, successes, failures and violations per kind of fault, and every violation with
// the seed of its run; --replay runs that one again and shows what the meter saw. The exit status
// is 0 when no run broke the invariant, 1 otherwise, 2 for a bad command line.
#include "firmwareflasher.h"
#include "powermetersimulator.h"
#include "pseudoterminal.h"
#include "seriallink.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMutex>
#include <QRandomGenerator>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <iterator>
#include <memory>
#include <vector>

namespace {

using Fault = PowerMeterOptions::Fault;

// The faults a meter may show, as a user of the flasher would name them.
enum class Kind {
    None,
    SilentForAWhile,
    SilentForGood,
    LostPacket,
    LostAck,
    LateAck,
    Naks,
    SingleCan,
    CanCan,
    Garbage,
    NakInNoise,
    Chatter,
    Unplug,
};
constexpr int kindCount = int(Kind::Unplug) + 1;
const char *const kindNames[kindCount] = {
    "none",  "silent for a while", "silent for good", "lost packet", "lost ACK",     "late ACK",
    "NAKs",  "single CAN",         "CAN CAN",         "garbage",     "NAK in noise", "chatter",
    "unplug"};

constexpr int largestImageBlocks = 48;
constexpr int blockBytes = BootloaderProtocol::blockSize;
// A third of the faults strike where a transfer begins or ends.
constexpr int boundaryShare = 3;
constexpr int mostRepeats = 3;
constexpr int mostNaks = 13;
// One in this many garbage faults at a data block never lets an ACK through at all.
constexpr int endlessGarbageShare = 4;
// The simulated bootloader announces nothing before "D"; the line wait only costs time.
constexpr int replyLineTimeoutMs = 10;
constexpr int setupAttempts = 3;
constexpr int setupRetryMs = 50;
// Time for the meter to act on the last bytes the flasher wrote before the run is judged.
constexpr int settleMs = 20;
// What a run may take besides its waits for answers: opening and draining the port, the line
// wait and the two handshake waits, and each block's pauses, generously for a loaded machine.
constexpr int overheadMs = 1000;
constexpr int perBlockMs = 25;
constexpr int perWaitSlackMs = 50;
// Bytes of the closing block: a meter that dropped the transfer at its end reads those as
// commands, which the flasher cannot prevent (it writes the closing block without waiting for an
// answer to the end of transmission) and which do it no harm.
const QByteArray closingBlockBytes("\x00\x01\xff", 3);

struct Limits
{
    int ackTimeoutMs = 150;
    int ackPollMs = 50;
};

// One run, all drawn from its seed.
struct Plan
{
    quint32 seed = 0;
    Kind kind = Kind::None;
    PowerMeterOptions meter;
    QByteArray image;
    int blocks = 0;
    bool atBoundary = false;
    qint64 boundMs = 0;
};

struct Outcome
{
    bool started = false;
    QString setupProblem; // why the run could not start
    bool flashed = false;
    bool holds = false;
    qint64 tookMs = 0;
    QByteArray strayCommands;
    FirmwareFlasher::FlashFailure failure;
    QList<int> packetLog;
    QStringList protocolErrors;
};

QString packetName(int packet, int blocks)
{
    if (packet == PowerMeterOptions::endOfTransmission)
        return QStringLiteral("the end of transmission");
    if (packet == PowerMeterOptions::closingBlock || packet == blocks + 1)
        return QStringLiteral("the closing block");
    if (packet == 0)
        return QStringLiteral("the header");
    return QStringLiteral("block %1 of %2").arg(packet).arg(blocks);
}

QString describe(const Plan &plan)
{
    QString text = QStringLiteral("%1 at %2")
                       .arg(QLatin1String(kindNames[int(plan.kind)]),
                            packetName(plan.meter.faultBlock, plan.blocks));
    switch (plan.kind) {
    case Kind::LostPacket:
    case Kind::LostAck:
    case Kind::Naks:
    case Kind::SingleCan:
    case Kind::Garbage:
        text += plan.meter.faultCount < 0 ? QStringLiteral(", every time")
                                          : QStringLiteral(", %1 times").arg(plan.meter.faultCount);
        break;
    case Kind::SilentForAWhile:
        text += QStringLiteral(", %1 ms").arg(plan.meter.faultDurationMs);
        break;
    case Kind::LateAck:
        text += QStringLiteral(", %1 ms late").arg(plan.meter.ackDelayMs);
        break;
    default:
        break;
    }
    return text + QStringLiteral("; image of %1 bytes").arg(plan.image.size());
}

// Waits for an answer a run may need: a meter that falls silent must end the image within the
// silent waits, one that keeps answering wrongly within all the sends of one packet.
int waitsAllowed(Kind kind)
{
    switch (kind) {
    case Kind::SilentForAWhile:
    case Kind::SilentForGood:
    case Kind::LostPacket:
    case Kind::LateAck:
    case Kind::Unplug:
        return FirmwareFlasher::maxSilentWaits + 1;
    default:
        return FirmwareFlasher::maxResends + 2;
    }
}

void chooseFault(Plan &plan, QRandomGenerator &random, const Limits &limits)
{
    PowerMeterOptions &meter = plan.meter;
    const bool atClosing = meter.faultBlock == PowerMeterOptions::closingBlock;
    const int repeats = random.bounded(1, mostRepeats + 1);
    switch (plan.kind) {
    case Kind::None:
        meter.fault = Fault::None;
        break;
    case Kind::SilentForAWhile:
        meter.fault = Fault::DeafAt;
        meter.faultDurationMs = random.bounded(limits.ackTimeoutMs / 3, 3 * limits.ackTimeoutMs);
        break;
    case Kind::SilentForGood:
        meter.fault = Fault::HangAt;
        break;
    case Kind::LostPacket:
        meter.fault = Fault::DropBlock;
        meter.faultCount = repeats;
        break;
    case Kind::LostAck:
        // As many lost ACKs of the closing block as the flasher has silent waits would leave a
        // meter that holds the image and never says so: no sender can tell it from a dead one.
        meter.fault = Fault::LoseAck;
        meter.faultCount = atClosing ? qMin(repeats, FirmwareFlasher::maxSilentWaits - 1) : repeats;
        break;
    case Kind::LateAck:
        // Late, not lost: the ACK comes before the flasher's silent waits run out. A meter that
        // took the closing block and confirms it later still is one the flasher cannot tell from
        // a dead one.
        meter.fault = Fault::LateAck;
        meter.ackDelayMs = random.bounded(limits.ackTimeoutMs / 2, 5 * limits.ackTimeoutMs / 2);
        break;
    case Kind::Naks:
        meter.fault = Fault::NakBlock;
        meter.faultCount = random.bounded(1, mostNaks + 1);
        break;
    case Kind::SingleCan:
        meter.fault = Fault::SingleCancel;
        meter.faultCount = repeats;
        break;
    case Kind::CanCan:
        meter.fault = Fault::CancelAtBlock;
        break;
    case Kind::Garbage:
        // Never at the closing block for good: that meter holds the image and never says so.
        meter.fault = Fault::GarbageAck;
        meter.faultCount = !atClosing && random.bounded(endlessGarbageShare) == 0 ? -1 : repeats;
        break;
    case Kind::NakInNoise:
        meter.fault = Fault::NakInNoise;
        break;
    case Kind::Chatter:
        meter.fault = Fault::ChatterAt;
        break;
    case Kind::Unplug:
        meter.fault = Fault::UnplugAt;
        break;
    }
}

Plan makePlan(quint32 seed, const Limits &limits)
{
    QRandomGenerator random(seed);
    Plan plan;
    plan.seed = seed;
    plan.blocks = random.bounded(1, largestImageBlocks + 1);
    plan.image =
        QByteArray((plan.blocks - 1) * blockBytes + random.bounded(1, blockBytes + 1), '\0');
    random.fillRange(reinterpret_cast<quint32 *>(plan.image.data()),
                     plan.image.size() / qsizetype(sizeof(quint32)));
    plan.kind = Kind(random.bounded(kindCount));
    plan.atBoundary = random.bounded(boundaryShare) == 0;
    if (plan.atBoundary) {
        const int boundaries[] = {0, 1, plan.blocks, PowerMeterOptions::endOfTransmission,
                                  PowerMeterOptions::closingBlock};
        plan.meter.faultBlock = boundaries[random.bounded(int(std::size(boundaries)))];
    } else {
        plan.meter.faultBlock = random.bounded(1, plan.blocks + 1);
    }
    chooseFault(plan, random, limits);
    plan.boundMs = overheadMs + qint64(plan.blocks) * perBlockMs +
                   qint64(waitsAllowed(plan.kind)) *
                       (limits.ackTimeoutMs + FirmwareFlasher::cancelPairGapMs + perWaitSlackMs) +
                   plan.meter.faultDurationMs + plan.meter.ackDelayMs;
    return plan;
}

// What the meter read as commands besides the "D" that started the transfer.
QByteArray strayCommands(const QByteArray &commands)
{
    QByteArray stray;
    for (qsizetype i = 1; i < commands.size(); ++i) {
        if (!closingBlockBytes.contains(commands.at(i)))
            stray.append(commands.at(i));
    }
    return commands.startsWith('D') ? stray : commands;
}

// One meter on a fresh pseudo-terminal, and the flasher's link open on it. Destroyed in reverse
// order: the port closes before the master end, so the tty is never left to another run half
// open.
struct Bench
{
    PseudoTerminal terminal;
    std::unique_ptr<PowerMeterSimulator> meter;
    SerialLink link;
    QString problem;

    bool start(const PowerMeterOptions &options)
    {
        if (!terminal.open()) {
            problem = QStringLiteral("no pseudo-terminal");
            return false;
        }
        // Owned, so that an unplug closes the master end as pulling the cable hangs the port up.
        meter = std::make_unique<PowerMeterSimulator>(terminal.takeMasterFd(), options,
                                                      PowerMeterSimulator::Ownership::Owned);
        meter->start();
        if (link.acquire(replyLineTimeoutMs, terminal.slavePath()))
            return true;
        problem =
            QStringLiteral("%1 would not open: %2").arg(terminal.slavePath(), link.openErrorText());
        return false;
    }
};

Outcome runOne(const Plan &plan, const Limits &limits)
{
    Outcome outcome;
    // A pseudo-terminal or its lock file can be briefly out of reach on a busy machine; that says
    // nothing about the flasher, so setting up is tried again.
    std::unique_ptr<Bench> bench;
    for (int attempt = 0; attempt < setupAttempts && !bench; ++attempt) {
        bench = std::make_unique<Bench>();
        if (!bench->start(plan.meter)) {
            outcome.setupProblem = bench->problem;
            bench.reset();
            QThread::msleep(setupRetryMs);
        }
    }
    if (!bench)
        return outcome;
    SerialLink &link = bench->link;
    PowerMeterSimulator &meter = *bench->meter;
    FirmwareFlasher flasher;
    flasher.attachLink(&link);
    FirmwareFlasher::Timing timing;
    timing.ackTimeoutMs = limits.ackTimeoutMs;
    timing.ackPollMs = limits.ackPollMs;
    timing.replyLineTimeoutMs = replyLineTimeoutMs;
    flasher.setTiming(timing);
    const QString name = QStringLiteral("campaign-%1.bin").arg(plan.seed);

    QElapsedTimer clock;
    clock.start();
    outcome.flashed = flasher.flashImage(plan.image, name);
    outcome.tookMs = clock.elapsed();
    outcome.failure = flasher.lastFailure();
    // The meter stops before the port closes: a closed tty echoes what still arrives (a repeated
    // ACK as "^F"), and the meter would read that echo as commands.
    QThread::msleep(settleMs);
    meter.stop();
    link.releaseAll();

    outcome.started = true;
    outcome.holds = meter.holds(name, plan.image);
    outcome.strayCommands = strayCommands(meter.commands());
    outcome.packetLog = meter.packetLog();
    outcome.protocolErrors = meter.protocolErrors();
    return outcome;
}

// Why a run breaks the invariant; empty when it keeps it.
QString violation(const Plan &plan, const Outcome &outcome)
{
    if (!outcome.started)
        return QStringLiteral("the run could not be set up: %1").arg(outcome.setupProblem);
    QStringList problems;
    if (outcome.flashed != outcome.holds)
        problems.append(
            QStringLiteral("flashImage returned %1 but the meter %2 the image")
                .arg(outcome.flashed ? QStringLiteral("true") : QStringLiteral("false"),
                     outcome.holds ? QStringLiteral("holds") : QStringLiteral("does not hold")));
    if (plan.kind == Kind::None && !outcome.flashed)
        problems.append(QStringLiteral("a healthy meter did not get its image"));
    if (outcome.tookMs > plan.boundMs)
        problems.append(
            QStringLiteral("took %1 ms, bound %2 ms").arg(outcome.tookMs).arg(plan.boundMs));
    if (!outcome.strayCommands.isEmpty())
        problems.append(QStringLiteral("the meter read %1 as commands")
                            .arg(QString::fromLatin1(outcome.strayCommands.toHex(' '))));
    return problems.join(QStringLiteral("; "));
}

struct Tally
{
    int runs = 0;
    int atBoundary = 0;
    int flashed = 0;
    int failed = 0;
    int violations = 0;
};

int replay(quint32 seed, const Limits &limits)
{
    const Plan plan = makePlan(seed, limits);
    std::printf("run seed %u: %s\n", seed, qPrintable(describe(plan)));
    const Outcome outcome = runOne(plan, limits);
    std::printf("flashImage returned %s after %lld ms (bound %lld ms); the meter %s the image\n",
                outcome.flashed ? "true" : "false", static_cast<long long>(outcome.tookMs),
                static_cast<long long>(plan.boundMs), outcome.holds ? "holds" : "does not hold");
    if (!outcome.flashed)
        std::printf("failure: kind %d at %s\n", int(outcome.failure.kind),
                    qPrintable(packetName(outcome.failure.block, outcome.failure.blocks)));
    QStringList log;
    for (const int block : outcome.packetLog)
        log.append(QString::number(block));
    std::printf("packets the meter took in: %s\n", qPrintable(log.join(QLatin1Char(' '))));
    for (const QString &error : outcome.protocolErrors)
        std::printf("meter: %s\n", qPrintable(error));
    const QString broken = violation(plan, outcome);
    std::printf("%s\n", broken.isEmpty() ? "invariant kept"
                                         : qPrintable(QStringLiteral("VIOLATION: ") + broken));
    return broken.isEmpty() ? 0 : 1;
}

int campaign(quint32 seed, int runs, int jobs, const Limits &limits, bool verbose)
{
    std::printf("fault campaign: seed %u, %d transfers, ACK limit %d ms, %d jobs\n", seed, runs,
                limits.ackTimeoutMs, jobs);
    std::fflush(stdout);
    // Every run gets a seed of its own, so that one run can be replayed alone.
    QRandomGenerator seeds(seed);
    std::vector<Plan> plans;
    plans.reserve(size_t(runs));
    for (int i = 0; i < runs; ++i)
        plans.push_back(makePlan(seeds.generate(), limits));

    std::vector<Outcome> outcomes(plans.size());
    std::atomic<size_t> next{0};
    QElapsedTimer wall;
    wall.start();
    std::vector<std::unique_ptr<QThread>> workers;
    for (int j = 0; j < jobs; ++j) {
        workers.emplace_back(QThread::create([&] {
            for (size_t i = next++; i < plans.size(); i = next++)
                outcomes[i] = runOne(plans[i], limits);
        }));
        workers.back()->start();
    }
    for (const auto &worker : workers)
        worker->wait();

    Tally tallies[kindCount];
    Tally total;
    qint64 longestMs = 0;
    qint64 longestBoundMs = 0;
    for (size_t i = 0; i < plans.size(); ++i) {
        const Plan &plan = plans[i];
        const Outcome &outcome = outcomes[i];
        const QString broken = violation(plan, outcome);
        for (Tally *tally : {&tallies[int(plan.kind)], &total}) {
            ++tally->runs;
            tally->atBoundary += plan.atBoundary ? 1 : 0;
            tally->flashed += outcome.flashed ? 1 : 0;
            tally->failed += outcome.flashed ? 0 : 1;
            tally->violations += broken.isEmpty() ? 0 : 1;
        }
        if (outcome.tookMs > longestMs) {
            longestMs = outcome.tookMs;
            longestBoundMs = plan.boundMs;
        }
        if (verbose)
            std::printf("run %zu, seed %u (%s): %s in %lld ms, failure %d at %s\n", i, plan.seed,
                        qPrintable(describe(plan)), outcome.flashed ? "written" : "failed",
                        static_cast<long long>(outcome.tookMs), int(outcome.failure.kind),
                        qPrintable(packetName(outcome.failure.block, outcome.failure.blocks)));
        if (!broken.isEmpty())
            std::printf("VIOLATION run %zu, seed %u (%s): %s\n", i, plan.seed,
                        qPrintable(describe(plan)), qPrintable(broken));
    }

    std::printf("%-20s %6s %7s %8s %7s %11s\n", "fault", "runs", "at end", "written", "failed",
                "violations");
    const auto row = [](const char *name, const Tally &tally) {
        std::printf("%-20s %6d %7d %8d %7d %11d\n", name, tally.runs, tally.atBoundary,
                    tally.flashed, tally.failed, tally.violations);
    };
    for (int k = 0; k < kindCount; ++k)
        row(kindNames[k], tallies[k]);
    row("all", total);
    std::printf("longest run %lld ms (its bound %lld ms); wall time %.1f s\n",
                static_cast<long long>(longestMs), static_cast<long long>(longestBoundMs),
                double(wall.elapsed()) / 1000.0);
    std::printf("%s\n", total.violations == 0 ? "no violations" : "INVARIANT BROKEN");
    return total.violations == 0 ? 0 : 1;
}

bool positive(const QString &text, int &value)
{
    bool ok = false;
    value = text.toInt(&ok);
    return ok && value > 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lumetra-fault-campaign"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Runs random transfers through the flasher against a faulty simulated "
                       "meter and checks that each succeeds exactly when the meter holds the "
                       "image, within its time bound."));
    parser.addHelpOption();
    const QCommandLineOption seedOption(QStringLiteral("seed"), QStringLiteral("Campaign seed."),
                                        QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption runsOption(QStringLiteral("runs"),
                                        QStringLiteral("Number of transfers."), QStringLiteral("n"),
                                        QStringLiteral("100"));
    const QCommandLineOption jobsOption(QStringLiteral("jobs"),
                                        QStringLiteral("Transfers run side by side."),
                                        QStringLiteral("n"), QStringLiteral("4"));
    const QCommandLineOption timeoutOption(
        QStringLiteral("ack-timeout-ms"),
        QStringLiteral("The flasher's ACK limit (3000 on a real meter)."), QStringLiteral("ms"),
        QString::number(Limits().ackTimeoutMs));
    const QCommandLineOption replayOption(QStringLiteral("replay"),
                                          QStringLiteral("Run the transfer of one run seed alone "
                                                         "and show what the meter saw."),
                                          QStringLiteral("run-seed"));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Print a line for every run."));
    parser.addOptions(
        {seedOption, runsOption, jobsOption, timeoutOption, replayOption, verboseOption});
    parser.process(app);

    Limits limits;
    int runs = 0;
    int jobs = 0;
    bool seedOk = false;
    const quint32 seed =
        parser.value(parser.isSet(replayOption) ? replayOption : seedOption).toUInt(&seedOk);
    if (!seedOk || !positive(parser.value(runsOption), runs) ||
        !positive(parser.value(jobsOption), jobs) ||
        !positive(parser.value(timeoutOption), limits.ackTimeoutMs)) {
        std::fprintf(stderr, "lumetra-fault-campaign: --seed and --replay take a whole number, "
                             "--runs, --jobs and --ack-timeout-ms a positive one\n");
        return 2;
    }
    // A poll shorter than the limit keeps the waits sliced as they are at the real limits.
    limits.ackPollMs = qMax(1, limits.ackTimeoutMs / 3);
    if (parser.isSet(replayOption))
        return replay(seed, limits);
    return campaign(seed, runs, jobs, limits, parser.isSet(verboseOption));
}
