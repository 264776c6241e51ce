// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// window-benchmark: whole updates of a 256 KiB image through the real window, against the
// simulated meter on a USB testbed and the release server on loopback, set beside the bare
// flasher streaming the same image over the same port. Prints
//   - the window's pace as a ratio to the bare flasher: time per data block while the bar moves
//     from its first step to 100 %, so the fixed waits before the data are left out;
//   - the largest gap between the ticks of a 5 ms timer over each whole window run (click to
//     end, the 6 s line wait included): the longest the window went without processing events;
//   - CPU over wall time while streaming (simulator and server threads included).
// Rounds alternate bare flasher and window, so a machine that is busy for a while weighs on both;
// the medians are the figures to quote. Run under umockdev-wrapper.
//
//   window-benchmark [rounds]      (default 3)
#include "cputime.h"
#include "firmwareflasher.h"
#include "mainwindow.h"
#include "powermetersimulator.h"
#include "releasefolder.h"
#include "releaseserver.h"
#include "seriallink.h"
#include "usbtestbed.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {
constexpr qsizetype imageSize = 256 * 1024;
const int blocks = BootloaderProtocol::blockCount(imageSize);
constexpr int runTimeoutMs = 120000;
constexpr int tickMs = 5;
constexpr int defaultRounds = 3;
// The simulated meter announces nothing before "D"; the bare flasher need not wait for it.
constexpr int bareReplyLineTimeoutMs = 50;

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? -1.0 : values.at(values.size() / 2);
}

// Times the stream from the first progress step above 0 % to 100 %.
class StreamClock
{
public:
    void step(int percent)
    {
        if (percent > 0 && firstPercent == 0) {
            firstPercent = percent;
            wall.start();
            cpuAtFirst = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        }
        if (percent == 100 && firstPercent > 0) {
            streamMs = double(wall.nsecsElapsed()) / 1e6;
            cpuMs = (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuAtFirst) * 1000.0;
        }
    }
    double msPerBlock() const { return streamMs / (blocks * (100 - firstPercent) / 100.0); }
    double cpuPercent() const { return 100.0 * cpuMs / streamMs; }

private:
    int firstPercent = 0;
    QElapsedTimer wall;
    double cpuAtFirst = 0;
    double streamMs = -1;
    double cpuMs = 0;
};

struct Run
{
    bool ok = false;
    double msPerBlock = -1;
    double cpuPercent = 0;
    double wholeMs = 0;
    qint64 longestGapMs = 0;
};

Run bareRun(const QString &tty, const QByteArray &image)
{
    Run run;
    SerialLink link;
    FirmwareFlasher flasher;
    if (!link.acquire(flasher.timing().replyLineTimeoutMs, tty))
        return run;
    flasher.attachLink(&link);
    FirmwareFlasher::Timing timing;
    timing.replyLineTimeoutMs = bareReplyLineTimeoutMs;
    flasher.setTiming(timing);
    StreamClock clock;
    QObject::connect(&flasher, &FirmwareFlasher::progress_update,
                     [&](int percent) { clock.step(percent); });
    run.ok = flasher.flashImage(image, QStringLiteral("bench.bin"));
    link.releaseAll();
    run.msPerBlock = clock.msPerBlock();
    run.cpuPercent = clock.cpuPercent();
    return run;
}

Run windowRun(QProgressBar *bar, QPushButton *update)
{
    Run run;
    StreamClock clock;
    const auto stepConnection = QObject::connect(bar, &QProgressBar::valueChanged,
                                                 [&](int percent) { clock.step(percent); });
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QElapsedTimer sinceTick;
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { run.longestGapMs = qMax(run.longestGapMs, sinceTick.restart()); });

    QElapsedTimer whole;
    whole.start();
    sinceTick.start();
    ticker.start(tickMs);
    QTest::mouseClick(update, Qt::LeftButton);
    run.ok = QTest::qWaitFor([&] { return update->isEnabled(); }, runTimeoutMs);
    ticker.stop();
    run.wholeMs = double(whole.nsecsElapsed()) / 1e6;
    QObject::disconnect(stepConnection);
    run.msPerBlock = clock.msPerBlock();
    run.cpuPercent = clock.cpuPercent();
    return run;
}
} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = qMax(1, argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : defaultRounds);
    // A scratch settings store, emptied: the standard release branch.
    QStandardPaths::setTestModeEnabled(true);
    QSettings(QStringLiteral("Norvatek"), QStringLiteral("Divirare2")).clear();
    if (!UsbTestbed::inMockEnvironment()) {
        std::fprintf(stderr, "run me under umockdev-wrapper\n");
        return 1;
    }

    ReleaseFolder folder;
    const QByteArray image = ReleaseFolder::image(imageSize, 42);
    folder.publish(QStringLiteral("cust"),
                   {{QStringLiteral("9.9.9"), {{"DOVUr3_main_firmware", image}}}});
    ReleaseServer server(folder.path());
    if (server.start() == 0) {
        std::fprintf(stderr, "the release server cannot listen\n");
        return 1;
    }

    UsbTestbed testbed;
    const QString tty = UsbTestbed::processTtyName();
    testbed.addMeter(tty);
    PowerMeterSimulator meter(testbed.masterFd(tty));
    meter.start();

    MainWindow window(server.baseUrl());
    window.show();
    auto *versions = window.findChild<QComboBox *>("versionsCombo");
    auto *bar = window.findChild<QProgressBar *>("progressBar");
    auto *update = window.findChild<QPushButton *>("updateButton");
    if (!QTest::qWaitFor([&] { return versions->count() == 1; }, 5000)) {
        std::fprintf(stderr, "the catalogue did not arrive\n");
        return 1;
    }

    std::printf("image: %lld bytes, %d blocks; %d rounds\n", static_cast<long long>(imageSize),
                blocks, rounds);
    QList<double> bareMs, windowMs, ratios, windowCpu;
    qint64 longestGapMs = 0;
    bool allOk = true;
    for (int round = 1; round <= rounds; ++round) {
        const Run bare = bareRun(tty, image);
        const Run inWindow = windowRun(bar, update);
        const QList<ReceivedImage> received = meter.images();
        const bool identical = received.size() == 2 * round &&
                               received.at(received.size() - 2).data == image &&
                               received.last().data == image;
        allOk = allOk && bare.ok && inWindow.ok && identical;
        const double ratio = inWindow.msPerBlock / bare.msPerBlock;
        bareMs.append(bare.msPerBlock);
        windowMs.append(inWindow.msPerBlock);
        ratios.append(ratio);
        windowCpu.append(inWindow.cpuPercent);
        longestGapMs = qMax(longestGapMs, inWindow.longestGapMs);
        std::printf("round %d: bare %.3f ms/block, window %.3f ms/block, ratio %.3f; window run "
                    "%.0f ms, largest event-loop gap %lld ms, CPU %.1f%% (bare %.1f%%)%s\n",
                    round, bare.msPerBlock, inWindow.msPerBlock, ratio, inWindow.wholeMs,
                    static_cast<long long>(inWindow.longestGapMs), inWindow.cpuPercent,
                    bare.cpuPercent, identical ? "" : "  NOT IDENTICAL");
        std::fflush(stdout);
    }
    std::printf("bare flasher, median          : %.3f ms per block\n", median(bareMs));
    std::printf("window, median                : %.3f ms per block\n", median(windowMs));
    std::printf("window pace / bare, median    : %.3f (target <= 1.05)\n", median(ratios));
    std::printf("largest event-loop gap        : %lld ms (bar 100 ms)\n",
                static_cast<long long>(longestGapMs));
    std::printf("window CPU over wall, median  : %.1f%% while streaming\n", median(windowCpu));
    std::printf("byte-identical on device      : %s\n", allOk ? "yes, every run" : "NO");
    return allOk ? 0 : 1;
}
