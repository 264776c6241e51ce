// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// window-benchmark: a whole update of a 256 KiB image through the real window, against the
// simulated meter on a USB testbed and the release server on loopback. Prints the time per
// block while the progress bar moves (each block repaints the bar and processes events), to be
// set beside flasher-benchmark's figure for the bare flasher. Run under umockdev-wrapper.
#include "cputime.h"
#include "mainwindow.h"
#include "powermetersimulator.h"
#include "releasefolder.h"
#include "releaseserver.h"
#include "usbtestbed.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

#include <cstdio>

namespace {
constexpr qsizetype imageSize = 256 * 1024;
constexpr int blockSize = 128;
constexpr int runTimeoutMs = 120000;

QByteArray catalogue()
{
    const QJsonObject version{{"tag_name", "9.9.9"}, {"DOVUr3_main_firmware", "bench.bin"}};
    const QJsonObject product{{"product", "Lumetra"}, {"versions", QJsonArray{version}}};
    return QJsonDocument(QJsonArray{product}).toJson();
}
} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    // A scratch settings store, emptied: the standard release branch.
    QStandardPaths::setTestModeEnabled(true);
    QSettings(QStringLiteral("Norvatek"), QStringLiteral("Divirare2")).clear();
    if (!UsbTestbed::inMockEnvironment()) {
        std::fprintf(stderr, "run me under umockdev-wrapper\n");
        return 1;
    }

    ReleaseFolder folder;
    const QByteArray image = ReleaseFolder::image(imageSize, 42);
    folder.writeCatalogue(QStringLiteral("cust"), catalogue());
    folder.writeFile(QStringLiteral("cust"), QStringLiteral("bench.bin"), image);
    ReleaseServer server(folder.path());
    if (server.start() == 0) {
        std::fprintf(stderr, "the release server cannot listen\n");
        return 1;
    }

    UsbTestbed testbed;
    const QString tty = UsbTestbed::processTtyName();
    testbed.addSerialDevice(tty, 0x04D8, 0x000A);
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

    // The first step of the bar marks the end of the fixed waits before the data blocks.
    QElapsedTimer clock;
    double firstStepMs = -1, lastStepMs = -1, cpuAtFirstStep = 0, cpuAtLastStep = 0;
    int firstStepPercent = 0;
    QObject::connect(bar, &QProgressBar::valueChanged, [&](int percent) {
        if (percent > 0 && firstStepMs < 0) {
            firstStepMs = clock.nsecsElapsed() / 1e6;
            firstStepPercent = percent;
            cpuAtFirstStep = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        }
        if (percent == 100) {
            lastStepMs = clock.nsecsElapsed() / 1e6;
            cpuAtLastStep = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        }
    });
    clock.start();
    QTest::mouseClick(update, Qt::LeftButton);
    if (!QTest::qWaitFor([&] { return update->isEnabled(); }, runTimeoutMs))
        std::fprintf(stderr, "the run did not end in time\n");

    const QList<ReceivedImage> received = meter.images();
    const bool identical = received.size() == 1 && received.first().data == image;
    const int blocks = int((imageSize + blockSize - 1) / blockSize);
    const double measuredBlocks = blocks * (100 - firstStepPercent) / 100.0;
    const double streamMs = lastStepMs - firstStepMs;
    std::printf("image size                : %lld bytes\n", static_cast<long long>(imageSize));
    std::printf("blocks                    : %d\n", blocks);
    std::printf("byte-identical on device  : %s\n", identical ? "yes" : "NO");
    std::printf("whole run (click to end)  : %.0f ms\n", clock.nsecsElapsed() / 1e6);
    std::printf("streaming, %d%% to 100%%    : %.0f ms over %.0f blocks\n", firstStepPercent,
                streamMs, measuredBlocks);
    std::printf("ms per block in the window: %.3f (protocol floor 4.000)\n",
                streamMs / measuredBlocks);
    std::printf("CPU over wall, streaming  : %.1f%%\n",
                100.0 * (cpuAtLastStep - cpuAtFirstStep) / (streamMs / 1000.0));
    return identical ? 0 : 1;
}
