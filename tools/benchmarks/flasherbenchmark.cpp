// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// flasher-benchmark: flashes a 256 KiB image into the simulated meter over a pseudo-terminal and
// prints how close the transfer comes to the floor set by the protocol's fixed pauses (2 ms
// before each packet write and 2 ms before each poll for its ACK), and how much CPU it burns:
// the waits must block, never spin.
#include "cputime.h"
#include "firmwareflasher.h"
#include "powermetersimulator.h"
#include "pseudoterminal.h"
#include "seriallink.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

namespace {

constexpr qsizetype imageSize = 256 * 1024;
constexpr double floorMsPerBlock = 4.0;
constexpr double endingFloorMs = 6.0;

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);

    PseudoTerminal terminal;
    if (!terminal.open()) {
        std::fprintf(stderr, "cannot open a pseudo-terminal\n");
        return 1;
    }
    PowerMeterSimulator simulator(terminal.masterFd());
    simulator.start();

    QByteArray image(imageSize, '\0');
    for (qsizetype i = 0; i < image.size(); ++i)
        image[i] = char((i * 7 + i / 256) & 0xFF);

    SerialLink link;
    FirmwareFlasher flasher;
    if (!link.acquire(flasher.timing().replyLineTimeoutMs, terminal.slavePath())) {
        std::fprintf(stderr, "cannot open %s\n", qPrintable(terminal.slavePath()));
        return 1;
    }
    flasher.attachLink(&link);
    // The simulated bootloader announces nothing before "D"; waiting the full 6 s for that line
    // would say nothing about the transfer.
    FirmwareFlasher::Timing timing;
    timing.replyLineTimeoutMs = 50;
    flasher.setTiming(timing);

    const qint64 blocks = BootloaderProtocol::blockCount(image.size());
    // The streaming phase starts with the first progress report (after the header handshake) and
    // ends when flashImage returns; the floor covers exactly that phase.
    QElapsedTimer wall;
    double threadCpuStart = 0;
    double processCpuStart = 0;
    // The ending starts with the last progress report (100 %) and ends when flashImage returns:
    // the quiet gaps, the wait for the end's answer and the closing block.
    QElapsedTimer ending;
    QObject::connect(&flasher, &FirmwareFlasher::progress_update, [&](int percent) {
        if (percent == 100)
            ending.start();
        if (percent == 0 && !wall.isValid()) {
            threadCpuStart = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            processCpuStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
            wall.start();
        }
    });
    QElapsedTimer total;
    total.start();
    const bool ok = flasher.flashImage(image, QStringLiteral("benchmark.bin"));
    const double wallMs = double(wall.nsecsElapsed()) / 1e6;
    const double totalMs = double(total.nsecsElapsed()) / 1e6;
    const double endingMs = ending.isValid() ? double(ending.nsecsElapsed()) / 1e6 : 0;
    const double threadCpuMs = (cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - threadCpuStart) * 1000.0;
    const double processCpuMs = (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processCpuStart) * 1000.0;
    link.release();

    simulator.waitForImages(1, 1000);
    simulator.stop();
    const QList<ReceivedImage> received = simulator.images();
    const bool identical = ok && received.size() == 1 && received.first().data == image &&
                           simulator.protocolErrors().isEmpty();

    // Each data block pays the pause before its write and the pause before the poll for its ACK;
    // the ending pays one before end of transmission, one before the closing block and one poll.
    const FirmwareFlasher::Timing &chosen = flasher.timing();
    const double endingWaitsMs = chosen.eotAnswerMs + 2.0 * chosen.quietGapMs;
    const double floorMs = floorMsPerBlock * double(blocks) + endingFloorMs + endingWaitsMs;
    std::printf("image size:            %lld bytes\n", static_cast<long long>(image.size()));
    std::printf("data blocks:           %lld (+ header and closing block)\n",
                static_cast<long long>(blocks));
    std::printf("result:                %s\n",
                identical ? "flashed, byte-identical" : "FAILED or not identical");
    std::printf("flashImage total:      %.1f ms (drain, line read, header handshake included)\n",
                totalMs);
    std::printf("streaming wall time:   %.1f ms\n", wallMs);
    std::printf("per block:             %.3f ms\n", wallMs / double(blocks));
    std::printf("floor (4 ms/block + ending waits): %.1f ms\n", floorMs);
    std::printf("measured / floor:      %.3f (target <= 1.10)\n", wallMs / floorMs);
    std::printf("ending of one image:   %.1f ms, of which %.0f ms are chosen waits (end's answer "
                "%d ms, two quiet gaps of %d ms)\n",
                endingMs, endingWaitsMs, chosen.eotAnswerMs, chosen.quietGapMs);
    std::printf("ending share of image: %.1f%%\n", 100.0 * endingMs / totalMs);
    std::printf("flasher thread CPU:    %.1f ms = %.1f%% of wall (target < 10%%)\n", threadCpuMs,
                100.0 * threadCpuMs / wallMs);
    std::printf("process CPU (+device): %.1f ms = %.1f%% of wall\n", processCpuMs,
                100.0 * processCpuMs / wallMs);
    return identical ? 0 : 1;
}
