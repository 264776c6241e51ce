// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// FirmwareFlasher against the simulated meter on a plain pseudo-terminal, including the device
// faults the flasher must survive or report.
#include "firmwareflasher.h"
#include "powermetersimulator.h"
#include "pseudoterminal.h"
#include "seriallink.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using Fault = PowerMeterOptions::Fault;

namespace {

QByteArray testImage(qsizetype size)
{
    QByteArray image(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        image[i] = char((i * 31 + i / 251 + 1) & 0xFF);
    return image;
}

// One meter on a fresh pseudo-terminal, and the program's link and flasher bound to it.
struct Bench
{
    PseudoTerminal terminal;
    std::unique_ptr<PowerMeterSimulator> meter;
    SerialLink link;
    FirmwareFlasher flasher;

    bool start(const PowerMeterOptions &options = {})
    {
        if (!terminal.open())
            return false;
        // Owned, so that a DisappearAfterBlock fault really hangs the port up.
        meter = std::make_unique<PowerMeterSimulator>(terminal.takeMasterFd(), options,
                                                      PowerMeterSimulator::Ownership::Owned);
        meter->start();
        if (!link.acquire(6000, terminal.slavePath()))
            return false;
        flasher.attachLink(&link);
        // The simulated bootloader never announces itself before "D"; the real 6 s wait for that
        // line would only slow every test down.
        flasher.replyLineTimeoutMs = 20;
        return true;
    }
};

} // namespace

class TestFirmwareFlasher : public QObject
{
    Q_OBJECT

private slots:
    void crcMatchesXmodemCheckValues_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("crc");
        QTest::newRow("check string 123456789") << QByteArray("123456789") << 0x31C3;
        QTest::newRow("128 zero bytes") << QByteArray(128, '\0') << 0x0000;
        QTest::newRow("single 0xFF") << QByteArray(1, '\xff') << 0x1EF0;
        QTest::newRow("empty") << QByteArray() << 0x0000;
    }

    void crcMatchesXmodemCheckValues()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, crc);
        QCOMPARE(int(FirmwareFlasher::crc16(data)), crc);
    }

    void progressIsSafeForLargeImages_data()
    {
        QTest::addColumn<qint64>("sent");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("percent");
        QTest::newRow("empty image") << qint64(0) << qint64(0) << 0;
        QTest::newRow("one of 129 bytes rounds down") << qint64(128) << qint64(129) << 99;
        QTest::newRow("half of 50 MB, past the 32-bit product")
            << qint64(25'000'000) << qint64(50'000'000) << 50;
        QTest::newRow("all of 30 MB") << qint64(30'000'000) << qint64(30'000'000) << 100;
        QTest::newRow("3 of 4 GB") << qint64(3'000'000'000) << qint64(4'000'000'000) << 75;
    }

    void progressIsSafeForLargeImages()
    {
        QFETCH(qint64, sent);
        QFETCH(qint64, size);
        QFETCH(int, percent);
        QCOMPARE(FirmwareFlasher::progressPercent(sent, size), percent);
    }

    void headerCarriesNameNulSizeNul()
    {
        QByteArray expected("ab\0"
                            "70000\0",
                            9);
        expected.append(QByteArray(119, '\0'));
        QCOMPARE(FirmwareFlasher::headerPayload(QStringLiteral("ab"), 70000), expected);

        QVERIFY(FirmwareFlasher::headerFits(QString(122, QLatin1Char('n')), 4096));
        QVERIFY(!FirmwareFlasher::headerFits(QString(123, QLatin1Char('n')), 4096));
    }

    void imagesArriveByteIdentical_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<QList<int>>("progress");
        QTest::newRow("empty image: header, EOT, closing block") << 0 << QList<int>{0};
        QTest::newRow("1 byte pads 127 zeros") << 1 << QList<int>{0, 100};
        QTest::newRow("128 bytes fill one block") << 128 << QList<int>{0, 100};
        QTest::newRow("129 bytes pad the second block") << 129 << QList<int>{0, 99, 100};
        QTest::newRow("300 blocks wrap the block number") << 300 * 128 << QList<int>{};
    }

    void imagesArriveByteIdentical()
    {
        QFETCH(int, size);
        QFETCH(QList<int>, progress);

        Bench bench;
        QVERIFY(bench.start());
        QSignalSpy spy(&bench.flasher, &FirmwareFlasher::progress_update);
        const QByteArray image = testImage(size);
        QVERIFY(bench.flasher.flashImage(image, QStringLiteral("MCU-A1.bin")));

        QVERIFY(bench.meter->waitForImages(1, 1000));
        const ReceivedImage received = bench.meter->images().constFirst();
        QCOMPARE(received.name, QStringLiteral("MCU-A1.bin"));
        QCOMPARE(received.declaredSize, qint64(size));
        QCOMPARE(received.data, image);
        QCOMPARE(bench.meter->protocolErrors(), QStringList());
        QCOMPARE(bench.meter->commands(), QByteArray("D"));

        const int blocks = (size + 127) / 128;
        QList<int> numbers;
        for (int k = 1; k <= blocks; ++k)
            numbers.append(k % 256);
        QCOMPARE(received.blockNumbers, numbers);

        QList<int> emitted;
        for (const QList<QVariant> &arguments : spy)
            emitted.append(arguments.at(0).toInt());
        QCOMPARE(emitted.size(), blocks + 1);
        QCOMPARE(emitted.constFirst(), 0);
        QCOMPARE(emitted.constLast(), size == 0 ? 0 : 100);
        if (!progress.isEmpty())
            QCOMPARE(emitted, progress);
        // The flasher keeps its own hold; the window's releases close the port.
        QCOMPARE(bench.link.holdCount, 2);
    }

    void deviceQuirksStillComplete_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("ackDelayMs");
        QTest::newRow("C before the header ACK") << int(Fault::CrcBeforeHeaderAck) << 0;
        QTest::newRow("stray bytes in front of every ACK") << int(Fault::GarbageBetweenAcks) << 0;
        QTest::newRow("ACKs 50 ms late") << int(Fault::SlowAcks) << 50;
        QTest::newRow("block 2 refused once is sent again") << int(Fault::NakBlockOnce) << 0;
        QTest::newRow("data blocks never ACKed") << int(Fault::NeverAckData) << 0;
    }

    void deviceQuirksStillComplete()
    {
        QFETCH(int, fault);
        QFETCH(int, ackDelayMs);

        PowerMeterOptions options;
        options.fault = Fault(fault);
        options.faultBlock = 2;
        options.ackDelayMs = ackDelayMs;
        Bench bench;
        QVERIFY(bench.start(options));
        bench.flasher.ackTimeoutMs = 150;
        bench.flasher.ackPollMs = 50;
        const QByteArray image = testImage(5 * 128 + 7);
        QVERIFY(bench.flasher.flashImage(image, QStringLiteral("quirk.bin")));
        QVERIFY(bench.meter->waitForImages(1, 1000));
        QCOMPARE(bench.meter->images().constFirst().data, image);
        QCOMPARE(bench.meter->protocolErrors(), QStringList());
    }

    void handshakeFailureSendsNoDataBlock_data()
    {
        QTest::addColumn<int>("fault");
        QTest::newRow("header never ACKed") << int(Fault::Silent);
        QTest::newRow("no C after the header ACK") << int(Fault::NoCrcRequest);
    }

    void handshakeFailureSendsNoDataBlock()
    {
        QFETCH(int, fault);
        PowerMeterOptions options;
        options.fault = Fault(fault);
        Bench bench;
        QVERIFY(bench.start(options));
        bench.flasher.ackTimeoutMs = 200;
        bench.flasher.ackPollMs = 50;
        QSignalSpy spy(&bench.flasher, &FirmwareFlasher::progress_update);
        QVERIFY(!bench.flasher.flashImage(testImage(4096), QStringLiteral("x.bin")));
        QTest::qWait(50);
        QCOMPARE(bench.meter->packetLog(), QList<int>{0});
        QCOMPARE(spy.count(), 0);
    }

    // At the real limit that attachLink sets: one wait is ackTimeoutMs plus at most one poll.
    void silentDeviceFailsAfterTheRealAckTimeout()
    {
        PowerMeterOptions options;
        options.fault = Fault::Silent;
        Bench bench;
        QVERIFY(bench.start(options));
        QCOMPARE(bench.flasher.ackTimeoutMs, 3000);
        QCOMPARE(bench.flasher.ackPollMs, 700);
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(!bench.flasher.flashImage(testImage(4096), QStringLiteral("x.bin")));
        // Before the header: a 100 ms drain and the shortened line read.
        QVERIFY2(elapsed.elapsed() >= 3000 + 100 && elapsed.elapsed() < 3000 + 700 + 500,
                 qPrintable(QString::number(elapsed.elapsed())));
    }

    void nameTooLongForTheHeaderIsRefusedBeforeD()
    {
        Bench bench;
        QVERIFY(bench.start());
        QSignalSpy spy(&bench.flasher, &FirmwareFlasher::progress_update);
        QVERIFY(!bench.flasher.flashImage(testImage(4096), QString(123, QLatin1Char('n'))));
        QTest::qWait(50);
        QCOMPARE(bench.meter->received(), QByteArray());
        QCOMPARE(spy.count(), 0);
        // One character shorter still fits, name whole.
        QVERIFY(bench.flasher.flashImage(testImage(4096), QString(122, QLatin1Char('n'))));
        QVERIFY(bench.meter->waitForImages(1, 1000));
        QCOMPARE(bench.meter->images().constFirst().name, QString(122, QLatin1Char('n')));
    }

    void refusalsAndCancelsEndTheTransfer_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("sendsOfBlock3");
        QTest::newRow("NAK every time: 1 send and 10 resends") << int(Fault::NakBlockAlways) << 11;
        QTest::newRow("CAN CAN at block 3") << int(Fault::CancelAtBlock) << 1;
    }

    void refusalsAndCancelsEndTheTransfer()
    {
        QFETCH(int, fault);
        QFETCH(int, sendsOfBlock3);
        PowerMeterOptions options;
        options.fault = Fault(fault);
        options.faultBlock = 3;
        Bench bench;
        QVERIFY(bench.start(options));
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(!bench.flasher.flashImage(testImage(10 * 128), QStringLiteral("x.bin")));
        // Ended by the device's answer, not by waiting out the 3 s ACK limit.
        QVERIFY(elapsed.elapsed() < 1500);
        QTest::qWait(50);
        const QList<int> packets = bench.meter->packetLog();
        QCOMPARE(packets.count(3), sendsOfBlock3);
        QCOMPARE(packets.constLast(), 3);
        QVERIFY(bench.meter->images().isEmpty());
    }

    // An unplug during streaming ends the call at once; the Part's flasher would have waited out
    // about 3.7 s per remaining block and then reported success.
    void unplugMidTransferFailsAtOnce()
    {
        PowerMeterOptions options;
        options.fault = Fault::DisappearAfterBlock;
        options.faultBlock = 4;
        Bench bench;
        QVERIFY(bench.start(options));
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(!bench.flasher.flashImage(testImage(100 * 128), QStringLiteral("x.bin")));
        QVERIFY(bench.meter->disappeared());
        QVERIFY(bench.link.failed());
        // 100 blocks take about half a second when all goes well; waiting out the ACK limit for
        // even one block after the unplug would take 3 s.
        QVERIFY2(elapsed.elapsed() < 1500, qPrintable(QString::number(elapsed.elapsed())));
        QVERIFY(bench.meter->packetLog().count() <= 1 + 5);
    }

    void secondImageOnTheSameLinkStartsAfresh()
    {
        Bench bench;
        QVERIFY(bench.start());
        const QByteArray first = testImage(3 * 128);
        const QByteArray second = testImage(2 * 128 + 1);
        QVERIFY(bench.flasher.flashImage(first, QStringLiteral("one.bin")));
        QVERIFY(bench.flasher.flashImage(second, QStringLiteral("two.bin")));
        QVERIFY(bench.meter->waitForImages(2, 1000));
        const QList<ReceivedImage> images = bench.meter->images();
        QCOMPARE(images.at(1).name, QStringLiteral("two.bin"));
        QCOMPARE(images.at(1).data, second);
        QCOMPARE(images.at(1).blockNumbers, (QList<int>{1, 2, 3}));
        QCOMPARE(bench.meter->protocolErrors(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestFirmwareFlasher)
#include "tst_firmwareflasher.moc"
