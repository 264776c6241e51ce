// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// bench-benchmark: "lumetra-flash update --all" on benches of 1, 2, 4 and 8 simulated meters,
// attached through a USB testbed, against the release server on loopback. For each bench it
// prints the wall time from start to exit, its ratio to one meter, and what the server was asked:
// the catalogue, its signature and each image must be fetched once per bench, however many meters
// it has. Every meter must end up holding the image, byte for byte.
//
// Each meter's update holds the real 6 s wait for the meter before the image, so a bench that
// runs its meters one after another would take n times as long as one: the target is 8 meters in
// at most 1.3 times the time of one. Run under umockdev-wrapper.
//
//   bench-benchmark [meters...]      (default: 1 2 4 8)
#include "powermetersimulator.h"
#include "releasefolder.h"
#include "releaseserver.h"
#include "usbtestbed.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMap>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

// As large as the sample release's newest image, with another model's image beside it.
constexpr qsizetype imageSize = 32 * 1024 + 155;
constexpr qsizetype otherModelImageSize = 23 * 1024 + 61;
constexpr int benchTimeoutMs = 120000;
constexpr double targetRatio = 1.3;
const QString version = QStringLiteral("1.2.0");

struct Bench
{
    bool ok = false;
    double seconds = 0;
    QMap<QString, int> requests; // path and query -> how often
};

Bench runBench(int meters, const ReleaseServer &server, const QByteArray &image)
{
    Bench bench;
    UsbTestbed testbed;
    std::vector<std::unique_ptr<PowerMeterSimulator>> simulators;
    for (int i = 0; i < meters; ++i) {
        const QString tty = UsbTestbed::processTtyName(i);
        testbed.addMeter(tty, QStringLiteral("LM%1").arg(i, 4, 10, QLatin1Char('0')));
        simulators.push_back(std::make_unique<PowerMeterSimulator>(testbed.masterFd(tty)));
        simulators.back()->start();
    }

    QProcess program;
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer wall;
    wall.start();
    program.start(QStringLiteral(LUMETRA_FLASH_PATH),
                  {QStringLiteral("--server=") + server.baseUrl(), QStringLiteral("--json"),
                   QStringLiteral("--quiet"), QStringLiteral("update"), QStringLiteral("--all"),
                   version});
    const bool ended = program.waitForFinished(benchTimeoutMs);
    bench.seconds = double(wall.nsecsElapsed()) / 1e9;
    program.readAllStandardOutput();

    bench.ok = ended && program.exitStatus() == QProcess::NormalExit && program.exitCode() == 0;
    for (auto &simulator : simulators) {
        simulator->stop();
        const QList<ReceivedImage> received = simulator->images();
        bench.ok = bench.ok && received.size() == 1 && received.first().data == image &&
                   simulator->protocolErrors().isEmpty();
    }
    for (const QString &request : server.requests())
        ++bench.requests[request];
    return bench;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (!UsbTestbed::inMockEnvironment()) {
        std::fprintf(stderr, "run me under umockdev-wrapper\n");
        return 1;
    }
    // A scratch settings store, emptied, which the program inherits: the standard branch.
    QStandardPaths::setTestModeEnabled(true);
    QSettings(QStringLiteral("Norvatek"), QStringLiteral("Divirare2")).clear();
    QList<int> sizes{1, 2, 4, 8};
    if (argc > 1) {
        sizes.clear();
        for (int i = 1; i < argc; ++i)
            sizes.append(qMax(1, QString::fromLocal8Bit(argv[i]).toInt()));
    }

    ReleaseFolder folder;
    const QByteArray image = ReleaseFolder::image(imageSize, 1);
    const QByteArray otherModel = ReleaseFolder::image(otherModelImageSize, 2);
    folder.publish(QStringLiteral("cust"),
                   {{version,
                     {{"DOVUr3_main_firmware", image, ReleaseFolder::sha256(image)},
                      {"QX7Lm2_main_firmware", otherModel, ReleaseFolder::sha256(otherModel)}}}});
    ReleaseServer server(folder.path());
    if (server.start() == 0) {
        std::fprintf(stderr, "the release server cannot listen\n");
        return 1;
    }

    std::printf("image: %lld bytes for the meter, %lld for another model\n",
                static_cast<long long>(imageSize), static_cast<long long>(otherModelImageSize));
    std::printf("meters  wall (s)  vs one  files fetched  most fetches of one  result\n");
    double oneMeter = 0;
    double largestRatio = 0;
    bool allOk = true;
    bool onceEach = true;
    for (const int meters : std::as_const(sizes)) {
        server.clearRequests();
        const Bench bench = runBench(meters, server, image);
        if (oneMeter == 0)
            oneMeter = bench.seconds;
        const double ratio = bench.seconds / oneMeter;
        largestRatio = qMax(largestRatio, ratio);
        int most = 0;
        for (const int count : bench.requests)
            most = qMax(most, count);
        // The catalogue, its signature and the two images.
        const bool once = most == 1 && bench.requests.size() == 4;
        allOk = allOk && bench.ok;
        onceEach = onceEach && once;
        std::printf("%6d  %8.2f  %6.2f  %13lld  %19d  %s\n", meters, bench.seconds, ratio,
                    static_cast<long long>(bench.requests.size()), most,
                    bench.ok ? "every meter written, byte-identical" : "FAILED");
        std::fflush(stdout);
    }
    std::printf("largest bench / one meter : %.2f (target <= %.1f)\n", largestRatio, targetRatio);
    std::printf("each file fetched once    : %s\n", onceEach ? "yes, every bench" : "NO");
    return allOk && onceEach ? 0 : 1;
}
