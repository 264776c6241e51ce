// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// FirmwareFlasher against the simulated meter on a plain pseudo-terminal, including the device
// faults the flasher must survive or report.
#include "firmwareflasher.h"
#include "powermetersimulator.h"
#include "pseudoterminal.h"
#include "seriallink.h"
#include "watchdog.h"

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

    // An owned master end is closed when DisappearAfterBlock plays an unplug; a borrowed one
    // stays open, and the device only falls silent.
    bool start(Fault fault = Fault::None, int faultBlock = 1,
               PowerMeterSimulator::Ownership ownership = PowerMeterSimulator::Ownership::Owned)
    {
        PowerMeterOptions options;
        options.fault = fault;
        options.faultBlock = faultBlock;
        options.ackDelayMs = 50; // only for SlowAcks
        if (!terminal.open())
            return false;
        const bool owned = ownership == PowerMeterSimulator::Ownership::Owned;
        meter = std::make_unique<PowerMeterSimulator>(
            owned ? terminal.takeMasterFd() : terminal.masterFd(), options, ownership);
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
    void crcMatchesXmodemCheckValues()
    {
        QCOMPARE(FirmwareFlasher::crc16("123456789"), quint16(0x31C3));
    }

    void progressIsSafeForLargeImages()
    {
        // Past the 32-bit product of bytes sent and 100.
        QCOMPARE(FirmwareFlasher::progressPercent(25'000'000, 50'000'000), 50);
        QCOMPARE(FirmwareFlasher::progressPercent(3'000'000'000, 4'000'000'000), 75);
    }

    // The simulator checks framing, block numbers, CRCs, the header layout and the zero padding
    // of the last block, and reports any departure in protocolErrors().
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
        QCOMPARE(received.data, image);
        QCOMPARE(bench.meter->protocolErrors(), QStringList());
        QList<int> numbers;
        for (int k = 1; k <= (size + 127) / 128; ++k)
            numbers.append(k % 256);
        QCOMPARE(received.blockNumbers, numbers);

        QList<int> emitted;
        for (const QList<QVariant> &arguments : spy)
            emitted.append(arguments.at(0).toInt());
        QCOMPARE(emitted.size(), numbers.size() + 1);
        if (!progress.isEmpty()) // too many to list for the largest image
            QCOMPARE(emitted, progress);
        // The flasher keeps its own hold; the window's releases close the port.
        QCOMPARE(bench.link.holdCount, 2);
    }

    // Answers a device may give: quirks the transfer survives, and refusals that end it at once,
    // at the block they came for.
    void deviceAnswers_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<int>("sendsOfBlock2");
        QTest::newRow("C before the header ACK") << int(Fault::CrcBeforeHeaderAck) << true << 1;
        QTest::newRow("stray bytes in front of every ACK")
            << int(Fault::GarbageBetweenAcks) << true << 1;
        QTest::newRow("ACKs 50 ms late") << int(Fault::SlowAcks) << true << 1;
        QTest::newRow("block 2 refused once is sent again")
            << int(Fault::NakBlockOnce) << true << 2;
        QTest::newRow("NAK every time: 1 send and 10 resends")
            << int(Fault::NakBlockAlways) << false << 11;
        QTest::newRow("CAN CAN at block 2") << int(Fault::CancelAtBlock) << false << 1;
        // Failed handshakes: no data block may follow the header.
        QTest::newRow("header never ACKed") << int(Fault::Silent) << false << 0;
        QTest::newRow("no C after the header ACK") << int(Fault::NoCrcRequest) << false << 0;
    }

    void deviceAnswers()
    {
        QFETCH(int, fault);
        QFETCH(bool, succeeds);
        QFETCH(int, sendsOfBlock2);
        Bench bench;
        QVERIFY(bench.start(Fault(fault), 2));
        bench.flasher.ackTimeoutMs = 150;
        bench.flasher.ackPollMs = 50;
        const QByteArray image = testImage(5 * 128 + 7);
        QCOMPARE(bench.flasher.flashImage(image, QStringLiteral("quirk.bin")), succeeds);

        if (succeeds) {
            QVERIFY(bench.meter->waitForImages(1, 1000));
            QCOMPARE(bench.meter->images().constFirst().data, image);
            QCOMPARE(bench.meter->protocolErrors(), QStringList());
        } else {
            // Ended at the block the refusal came for, or at the header.
            QTRY_COMPARE(bench.meter->packetLog().constLast(), sendsOfBlock2 > 0 ? 2 : 0);
        }
        QCOMPARE(bench.meter->packetLog().count(2), sendsOfBlock2);
        // Past a cancel the bootloader reads every byte as a command: image bytes sent after it
        // could reset it or start another download.
        QCOMPARE(bench.meter->commands(), QByteArray("D"));
    }

    // Single missing ACKs are tolerated; three packets in a row without one end the transfer,
    // which the device would otherwise see "completed" with most of the image missing. The
    // image has 6 data blocks; the window asks the product first, as a run does.
    void silenceEndsTheTransfer_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("faultBlock");
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("no data block ACKed: ends after block 3")
            << int(Fault::NeverAckData) << 1 << false;
        QTest::newRow("two missed, one ACK, two missed, one ACK")
            << int(Fault::SparseAcks) << 3 << true;
        QTest::newRow("quiet after the last block: closing block alone unanswered")
            << int(Fault::DisappearAfterBlock) << 6 << true;
        QTest::newRow("quiet after block 4: two blocks and the closing block unanswered")
            << int(Fault::DisappearAfterBlock) << 4 << false;
        QTest::newRow("prints without pause after identifying itself")
            << int(Fault::Chatter) << 1 << false;
    }

    void silenceEndsTheTransfer()
    {
        QFETCH(int, fault);
        QFETCH(int, faultBlock);
        QFETCH(bool, succeeds);
        Bench bench;
        QVERIFY(bench.start(Fault(fault), faultBlock, PowerMeterSimulator::Ownership::Borrowed));
        bench.flasher.ackTimeoutMs = 150;
        bench.flasher.ackPollMs = 50;
        bench.link.sendCommand(QStringLiteral("P"), 200, 1);
        const QByteArray image = testImage(5 * 128 + 7);
        QCOMPARE(bench.flasher.flashImage(image, QStringLiteral("quiet.bin")), succeeds);

        if (fault == int(Fault::NeverAckData))
            QCOMPARE(bench.meter->packetLog(), (QList<int>{0, 1, 2, 3}));
        if (fault == int(Fault::SparseAcks)) {
            QVERIFY(bench.meter->waitForImages(1, 1000));
            QCOMPARE(bench.meter->images().constFirst().data, image);
        }
    }

    // At the real limit that attachLink sets, each unanswered packet costs ackTimeoutMs and no
    // more: a silent device fails at the header, one that falls silent mid-image three packets on.
    void silenceFailsAtTheRealAckTimeout_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("unansweredPackets");
        QTest::newRow("header never ACKed") << int(Fault::Silent) << 1;
        QTest::newRow("quiet after data block 2") << int(Fault::DisappearAfterBlock) << 3;
    }

    void silenceFailsAtTheRealAckTimeout()
    {
        QFETCH(int, fault);
        QFETCH(int, unansweredPackets);
        Bench bench;
        QVERIFY(bench.start(Fault(fault), 2, PowerMeterSimulator::Ownership::Borrowed));
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(!bench.flasher.flashImage(testImage(4096), QStringLiteral("x.bin")));
        // Before the header: a 100 ms drain and the shortened line read.
        const qint64 expectedMs = 100 + unansweredPackets * FirmwareFlasher::attachedAckTimeoutMs;
        QVERIFY2(elapsed.elapsed() >= expectedMs && elapsed.elapsed() < expectedMs + 500,
                 qPrintable(QString::number(elapsed.elapsed())));
    }

    // 122 characters, "4096" and two NULs fill the 128-byte header block exactly.
    void nameTooLongForTheHeaderIsRefusedBeforeD()
    {
        Bench bench;
        QVERIFY(bench.start());
        QVERIFY(!bench.flasher.flashImage(testImage(4096), QString(123, QLatin1Char('n'))));
        QTest::qWait(50);
        QCOMPARE(bench.meter->received(), QByteArray());
        QVERIFY(bench.flasher.flashImage(testImage(4096), QString(122, QLatin1Char('n'))));
        QVERIFY(bench.meter->waitForImages(1, 1000));
        QCOMPARE(bench.meter->images().constFirst().name, QString(122, QLatin1Char('n')));
    }

    // An unplug during streaming ends the call at once; waiting out the ACK limit for each
    // remaining block would take minutes and then report success.
    void unplugMidTransferFailsAtOnce()
    {
        Bench bench;
        QVERIFY(bench.start(Fault::DisappearAfterBlock, 4));
        QElapsedTimer elapsed;
        elapsed.start();
        {
            // Undetected, the unplug would hold this thread for minutes.
            const Watchdog watchdog(10000, "flashing after the unplug");
            QVERIFY(!bench.flasher.flashImage(testImage(100 * 128), QStringLiteral("x.bin")));
        }
        QVERIFY(bench.link.failed());
        // 100 blocks take about half a second when all goes well; waiting out the ACK limit for
        // even one block after the unplug would take 3 s.
        QVERIFY2(elapsed.elapsed() < 1500, qPrintable(QString::number(elapsed.elapsed())));
    }
};

QTEST_GUILESS_MAIN(TestFirmwareFlasher)
#include "tst_firmwareflasher.moc"
