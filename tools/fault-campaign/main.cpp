// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// lumetra-fault-campaign: proves the flasher against a faulty meter by numbers.
//
//   lumetra-fault-campaign [--seed S] [--runs N] [--jobs J] [--ack-timeout-ms T]
//   lumetra-fault-campaign --replay RUN-SEED
//
// Each run flashes one or two random images through FirmwareFlasher into the simulated meter on
// a pseudo-terminal of its own, with one to three random faults at random packets (a third of
// them at the header, the first or last data block, the end of transmission or the closing
// block). Some images have a block count that wraps past 255; half the meters ACK the end of
// transmission and leave download mode there, the others take it silently and wait for the
// closing block. Every run is checked against one invariant: flashImage returned true for an
// image exactly when the meter holds it, the run ended within its bound of time, the meter read
// nothing but "D" as a command (a packet read as commands is a violation), and the meter saw no
// protocol error (a sequence error, a malformed packet). A healthy meter must always get its
// images.
//
// Left out on purpose, as no sender can tell them apart from the right answer: a lost end of
// transmission (the closing block then arrives where data was due, and for an image whose last
// block is 255 it is taken as data), a lost or garbled ACK of the end from a meter that ACKs it,
// and a late ACK that arrives inside the wait for the end's answer.
//
// Prints the runs, successes, failures and violations per kind of fault, and every violation with
// the seed of its run; a run that outlives twice its bound is reported as hanging with its seed
// at once. --replay runs one run again and shows what the meter saw. The exit status is 0 when no
// run broke the invariant, 1 otherwise, 2 for a bad command line.
#include "bootloaderprotocol.h"
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
#include <set>
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
    StaleAck,
    UnplugAfterAck,
};
constexpr int kindCount = int(Kind::UnplugAfterAck) + 1;
const char *const kindNames[kindCount] = {
    "none",   "silent for a while", "silent for good", "lost packet", "lost ACK",     "late ACK",
    "NAKs",   "single CAN",         "CAN CAN",         "garbage",     "NAK in noise", "chatter",
    "unplug", "stale ACK",          "unplug after ACK"};

constexpr int largestImageBlocks = 48;
// One image in this many has a block count around 255, where block numbers wrap.
constexpr int wrapShare = 8;
const int wrappingBlocks[] = {254, 255, 256};
constexpr int mostImages = 2;
constexpr int mostFaults = 3;
// A hanging run is reported once it has run this many times its bound.
constexpr int hangFactor = 2;
constexpr int monitorPollMs = 200;
// A stale ACK must come after the input is dropped before the next write to matter.
constexpr int staleLeastMs = 5;
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
struct Limits
{
    int ackTimeoutMs = 150;
    int ackPollMs = 50;
};

// One fault of a run.
struct Strike
{
    Kind kind = Kind::None;
    PowerMeterOptions::Injection where;
    bool atBoundary = false;
};

// One run, all drawn from its seed.
struct Plan
{
    quint32 seed = 0;
    bool meterAcksEnd = false;
    QList<QByteArray> images;
    QList<Strike> strikes;
    qint64 boundMs = 0;

    PowerMeterOptions meter() const
    {
        PowerMeterOptions options;
        options.ackEndOfTransmission = meterAcksEnd;
        for (const Strike &strike : strikes)
            options.moreFaults.append(strike.where);
        return options;
    }
    int blocks(int image) const { return BootloaderProtocol::blockCount(images.at(image).size()); }
};

struct Outcome
{
    bool started = false;
    QString setupProblem; // why the run could not start
    QList<bool> flashed;
    QList<bool> holds;
    qint64 tookMs = 0;
    QByteArray commands;
    QList<FirmwareFlasher::FlashFailure> failures;
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

QString describe(const Plan &plan, const Strike &strike)
{
    const PowerMeterOptions::Injection &where = strike.where;
    QString text = QStringLiteral("%1 at %2 of image %3")
                       .arg(QLatin1String(kindNames[int(strike.kind)]),
                            packetName(where.block, plan.blocks(where.image)))
                       .arg(where.image + 1);
    switch (strike.kind) {
    case Kind::LostPacket:
    case Kind::LostAck:
    case Kind::Naks:
    case Kind::SingleCan:
    case Kind::Garbage:
        text += where.count < 0 ? QStringLiteral(", every time")
                                : QStringLiteral(", %1 times").arg(where.count);
        break;
    case Kind::SilentForAWhile:
        text += QStringLiteral(", %1 ms").arg(where.durationMs);
        break;
    case Kind::LateAck:
    case Kind::StaleAck:
        text += QStringLiteral(", %1 ms late").arg(where.ackDelayMs);
        break;
    default:
        break;
    }
    return text;
}

QString describe(const Plan &plan)
{
    QStringList parts;
    for (const Strike &strike : plan.strikes)
        parts.append(describe(plan, strike));
    if (parts.isEmpty())
        parts.append(QStringLiteral("no fault"));
    QStringList sizes;
    for (const QByteArray &image : plan.images)
        sizes.append(QString::number(image.size()));
    return parts.join(QStringLiteral("; ")) +
           QStringLiteral("; images of %1 bytes; the meter %2 the end")
               .arg(sizes.join(QStringLiteral(" and ")),
                    plan.meterAcksEnd ? QStringLiteral("ACKs") : QStringLiteral("silently takes"));
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
    case Kind::UnplugAfterAck:
        return FirmwareFlasher::maxSilentWaits + 1;
    case Kind::StaleAck:
        return 1;
    default:
        return FirmwareFlasher::maxResends + 2;
    }
}

// Draws the fault of a strike whose place is set; false when that fault at that place is one of
// the cases no sender can tell from the right answer (see the top of this file).
bool chooseFault(Strike &strike, const Plan &plan, QRandomGenerator &random, const Limits &limits)
{
    PowerMeterOptions::Injection &where = strike.where;
    const bool atClosing = where.block == PowerMeterOptions::closingBlock;
    const bool atEnd = where.block == PowerMeterOptions::endOfTransmission;
    const bool strictEnd = atEnd && plan.meterAcksEnd;
    const FirmwareFlasher::Timing timing;
    const int repeats = random.bounded(1, mostRepeats + 1);
    switch (strike.kind) {
    case Kind::None:
        return false;
    case Kind::SilentForAWhile:
        where.fault = Fault::DeafAt;
        where.durationMs = random.bounded(limits.ackTimeoutMs / 3, 3 * limits.ackTimeoutMs);
        return !atEnd;
    case Kind::SilentForGood:
        where.fault = Fault::HangAt;
        return true;
    case Kind::LostPacket:
        where.fault = Fault::DropBlock;
        where.count = repeats;
        return !atEnd;
    case Kind::LostAck:
        // As many lost ACKs of the closing block as the flasher has silent waits would leave a
        // meter that holds the image and never says so: no sender can tell it from a dead one.
        where.fault = Fault::LoseAck;
        where.count = atClosing ? qMin(repeats, FirmwareFlasher::maxSilentWaits - 1) : repeats;
        return !strictEnd;
    case Kind::LateAck:
        // Late, not lost: the ACK comes before the flasher's silent waits run out. The end's ACK
        // must come within the wait for it.
        where.fault = Fault::LateAck;
        where.ackDelayMs =
            strictEnd ? random.bounded(timing.eotAnswerMs / 2)
                      : random.bounded(limits.ackTimeoutMs / 2, 5 * limits.ackTimeoutMs / 2);
        return true;
    case Kind::Naks:
        where.fault = Fault::NakBlock;
        where.count = random.bounded(1, mostNaks + 1);
        return true;
    case Kind::SingleCan:
        where.fault = Fault::SingleCancel;
        where.count = repeats;
        return true;
    case Kind::CanCan:
        where.fault = Fault::CancelAtBlock;
        return true;
    case Kind::Garbage:
        // Never at the closing block for good: that meter holds the image and never says so.
        where.fault = Fault::GarbageAck;
        where.count = !atClosing && random.bounded(endlessGarbageShare) == 0 ? -1 : repeats;
        return !strictEnd;
    case Kind::NakInNoise:
        where.fault = Fault::NakInNoise;
        return true;
    case Kind::Chatter:
        where.fault = Fault::ChatterAt;
        return true;
    case Kind::Unplug:
        where.fault = Fault::UnplugAt;
        return true;
    case Kind::StaleAck:
        // After the last data block, within the quiet gap before the end; after a silently taken
        // end, past the wait for its answer, within the gap before the closing block.
        where.fault = Fault::StaleAck;
        if (atEnd && !plan.meterAcksEnd) {
            where.ackDelayMs = timing.eotAnswerMs + random.bounded(timing.quietGapMs / 2);
            return true;
        }
        where.block = plan.blocks(where.image);
        where.ackDelayMs = random.bounded(staleLeastMs, timing.quietGapMs / 2);
        return true;
    case Kind::UnplugAfterAck:
        // The answer must have reached the program before the line goes: a pseudo-terminal drops
        // what its other end has not read.
        where.fault = Fault::DisappearAfterBlock;
        where.durationMs = limits.ackTimeoutMs / 2;
        return true;
    }
    return false;
}

Plan makePlan(quint32 seed, const Limits &limits)
{
    QRandomGenerator random(seed);
    Plan plan;
    plan.seed = seed;
    plan.meterAcksEnd = random.bounded(2) == 1;
    const int images = random.bounded(1, mostImages + 1);
    for (int i = 0; i < images; ++i) {
        const int blocks = random.bounded(wrapShare) == 0
                               ? wrappingBlocks[random.bounded(int(std::size(wrappingBlocks)))]
                               : random.bounded(1, largestImageBlocks + 1);
        QByteArray image((blocks - 1) * blockBytes + random.bounded(1, blockBytes + 1), '\0');
        random.fillRange(reinterpret_cast<quint32 *>(image.data()),
                         image.size() / qsizetype(sizeof(quint32)));
        plan.images.append(image);
    }
    // A tenth of the runs is healthy.
    const int strikes = random.bounded(10) == 0 ? 0 : random.bounded(1, mostFaults + 1);
    for (int i = 0; i < strikes; ++i) {
        Strike strike;
        strike.where.image = random.bounded(images);
        const int blocks = plan.blocks(strike.where.image);
        strike.kind = Kind(random.bounded(1, kindCount));
        strike.atBoundary = random.bounded(boundaryShare) == 0;
        if (strike.atBoundary) {
            const int boundaries[] = {0, 1, blocks, PowerMeterOptions::endOfTransmission,
                                      PowerMeterOptions::closingBlock};
            strike.where.block = boundaries[random.bounded(int(std::size(boundaries)))];
        } else {
            strike.where.block = random.bounded(1, blocks + 1);
        }
        if (chooseFault(strike, plan, random, limits))
            plan.strikes.append(strike);
    }
    const FirmwareFlasher::Timing timing;
    for (int i = 0; i < images; ++i) {
        plan.boundMs += overheadMs + qint64(plan.blocks(i)) * perBlockMs + timing.eotAnswerMs +
                        2 * timing.quietGapMs;
    }
    // Each image whose transfer a fault ends or stretches may take all of its waits.
    for (const Strike &strike : plan.strikes) {
        plan.boundMs +=
            qint64(images) * waitsAllowed(strike.kind) *
                (limits.ackTimeoutMs + FirmwareFlasher::cancelPairGapMs + perWaitSlackMs) +
            strike.where.durationMs + strike.where.ackDelayMs;
    }
    return plan;
}

QString imageName(const Plan &plan, int image)
{
    return QStringLiteral("campaign-%1-%2.bin").arg(plan.seed).arg(image + 1);
}

// What the meter read as commands besides the "D" of each image.
QByteArray strayCommands(const QByteArray &commands, int images)
{
    QByteArray stray = commands;
    for (int i = 0; i < images && stray.startsWith('D'); ++i)
        stray.remove(0, 1);
    return stray;
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
        if (!bench->start(plan.meter())) {
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

    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < plan.images.size(); ++i) {
        outcome.flashed.append(flasher.flashImage(plan.images.at(i), imageName(plan, i)));
        outcome.failures.append(flasher.lastFailure());
    }
    outcome.tookMs = clock.elapsed();
    // The meter stops before the port closes: a closed tty echoes what still arrives (a repeated
    // ACK as "^F"), and the meter would read that echo as commands.
    QThread::msleep(settleMs);
    meter.stop();
    link.releaseAll();

    outcome.started = true;
    for (int i = 0; i < plan.images.size(); ++i)
        outcome.holds.append(meter.holds(imageName(plan, i), plan.images.at(i)));
    outcome.commands = meter.commands();
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
    for (int i = 0; i < plan.images.size(); ++i) {
        if (outcome.flashed.at(i) != outcome.holds.at(i))
            problems.append(
                QStringLiteral("image %1: flashImage returned %2 but the meter %3 it")
                    .arg(i + 1)
                    .arg(outcome.flashed.at(i) ? QStringLiteral("true") : QStringLiteral("false"),
                         outcome.holds.at(i) ? QStringLiteral("holds")
                                             : QStringLiteral("does not hold")));
    }
    if (plan.strikes.isEmpty() && outcome.flashed.contains(false))
        problems.append(QStringLiteral("a healthy meter did not get its images"));
    if (outcome.tookMs > plan.boundMs)
        problems.append(
            QStringLiteral("took %1 ms, bound %2 ms").arg(outcome.tookMs).arg(plan.boundMs));
    const QByteArray stray = strayCommands(outcome.commands, int(plan.images.size()));
    if (!stray.isEmpty())
        problems.append(QStringLiteral("the meter read %1 as commands")
                            .arg(QString::fromLatin1(stray.left(16).toHex(' '))));
    for (const QString &error : outcome.protocolErrors)
        problems.append(QStringLiteral("the meter saw a protocol error: ") + error);
    return problems.join(QStringLiteral("; "));
}

QString failureText(const Outcome &outcome)
{
    QStringList parts;
    for (int i = 0; i < outcome.flashed.size(); ++i)
        parts.append(outcome.flashed.at(i)
                         ? QStringLiteral("written")
                         : QStringLiteral("%1 (%2)").arg(QString(outcome.failures.at(i).code()),
                                                         outcome.failures.at(i).describe()));
    return parts.join(QStringLiteral(", "));
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
    std::printf("took %lld ms (bound %lld ms): %s\n", static_cast<long long>(outcome.tookMs),
                static_cast<long long>(plan.boundMs), qPrintable(failureText(outcome)));
    QStringList log;
    for (const int block : outcome.packetLog)
        log.append(QString::number(block));
    std::printf("packets the meter took in: %s\n", qPrintable(log.join(QLatin1Char(' '))));
    std::printf("commands the meter read: %s\n",
                qPrintable(QString::fromLatin1(outcome.commands.toHex(' '))));
    for (const QString &error : outcome.protocolErrors)
        std::printf("meter: %s\n", qPrintable(error));
    const QString broken = violation(plan, outcome);
    std::printf("%s\n", broken.isEmpty() ? "invariant kept"
                                         : qPrintable(QStringLiteral("VIOLATION: ") + broken));
    return broken.isEmpty() ? 0 : 1;
}

// Watches the runs under way and names each one that outlives hangFactor times its bound, with
// its seed, at once: a hang must be found again, not only seen as the suite's time-out.
class HangMonitor
{
public:
    explicit HangMonitor(const std::vector<Plan> &plans) : plans(plans), started(plans.size()) {}

    void begin(size_t run)
    {
        QMutexLocker locker(&mutex);
        started[run].start();
    }
    void end(size_t run)
    {
        QMutexLocker locker(&mutex);
        started[run].invalidate();
    }
    // Reports every run newly found hanging; returns how many have been found so far.
    int check()
    {
        QMutexLocker locker(&mutex);
        for (size_t run = 0; run < plans.size(); ++run) {
            if (!started[run].isValid() || reported.count(run) != 0 ||
                started[run].elapsed() <= hangFactor * plans[run].boundMs)
                continue;
            reported.insert(run);
            std::printf("HANG run %zu, seed %u (%s): still running after %lld ms, bound %lld ms\n",
                        run, plans[run].seed, qPrintable(describe(plans[run])),
                        static_cast<long long>(started[run].elapsed()),
                        static_cast<long long>(plans[run].boundMs));
            std::fflush(stdout);
        }
        return int(reported.size());
    }

private:
    const std::vector<Plan> &plans;
    QMutex mutex;
    std::vector<QElapsedTimer> started;
    std::set<size_t> reported;
};

int campaign(quint32 seed, int runs, int jobs, const Limits &limits, bool verbose)
{
    std::printf("fault campaign: seed %u, %d runs, ACK limit %d ms, %d jobs\n", seed, runs,
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
    std::atomic<int> finished{0};
    HangMonitor monitor(plans);
    QElapsedTimer wall;
    wall.start();
    std::vector<std::unique_ptr<QThread>> workers;
    for (int j = 0; j < jobs; ++j) {
        workers.emplace_back(QThread::create([&] {
            for (size_t i = next++; i < plans.size(); i = next++) {
                monitor.begin(i);
                outcomes[i] = runOne(plans[i], limits);
                monitor.end(i);
            }
            ++finished;
        }));
        workers.back()->start();
    }
    while (finished < jobs) {
        QThread::msleep(monitorPollMs);
        monitor.check();
    }
    for (const auto &worker : workers)
        worker->wait();
    const int hangs = monitor.check();

    Tally tallies[kindCount];
    Tally total;
    int wrapping = 0;
    int twoImages = 0;
    qint64 longestMs = 0;
    qint64 longestBoundMs = 0;
    for (size_t i = 0; i < plans.size(); ++i) {
        const Plan &plan = plans[i];
        const Outcome &outcome = outcomes[i];
        const QString broken = violation(plan, outcome);
        QList<Tally *> counted{&total};
        bool atBoundary = false;
        if (plan.strikes.isEmpty())
            counted.append(&tallies[int(Kind::None)]);
        for (const Strike &strike : plan.strikes) {
            atBoundary = atBoundary || strike.atBoundary;
            if (!counted.contains(&tallies[int(strike.kind)]))
                counted.append(&tallies[int(strike.kind)]);
        }
        for (Tally *tally : counted) {
            ++tally->runs;
            tally->atBoundary += atBoundary ? 1 : 0;
            tally->flashed += int(outcome.flashed.count(true));
            tally->failed += int(outcome.flashed.count(false));
            tally->violations += broken.isEmpty() ? 0 : 1;
        }
        twoImages += plan.images.size() > 1 ? 1 : 0;
        for (int image = 0; image < plan.images.size(); ++image)
            wrapping += plan.blocks(image) >= wrappingBlocks[0] ? 1 : 0;
        if (outcome.tookMs > longestMs) {
            longestMs = outcome.tookMs;
            longestBoundMs = plan.boundMs;
        }
        if (verbose)
            std::printf("run %zu, seed %u (%s): %s in %lld ms\n", i, plan.seed,
                        qPrintable(describe(plan)), qPrintable(failureText(outcome)),
                        static_cast<long long>(outcome.tookMs));
        if (!broken.isEmpty())
            std::printf("VIOLATION run %zu, seed %u (%s): %s\n", i, plan.seed,
                        qPrintable(describe(plan)), qPrintable(broken));
    }

    std::printf("%-20s %6s %7s %8s %7s %11s\n", "fault (runs with it)", "runs", "at end", "written",
                "failed", "violations");
    const auto row = [](const char *name, const Tally &tally) {
        std::printf("%-20s %6d %7d %8d %7d %11d\n", name, tally.runs, tally.atBoundary,
                    tally.flashed, tally.failed, tally.violations);
    };
    for (int k = 0; k < kindCount; ++k)
        row(kindNames[k], tallies[k]);
    row("all", total);
    std::printf("%d runs with two images, %d images whose block numbers wrap, %d hanging\n",
                twoImages, wrapping, hangs);
    std::printf("longest run %lld ms (its bound %lld ms); wall time %.1f s\n",
                static_cast<long long>(longestMs), static_cast<long long>(longestBoundMs),
                double(wall.elapsed()) / 1000.0);
    const bool kept = total.violations == 0 && hangs == 0;
    std::printf("%s\n", kept ? "no violations" : "INVARIANT BROKEN");
    return kept ? 0 : 1;
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
