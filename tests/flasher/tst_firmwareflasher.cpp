// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// FirmwareFlasher against the simulated meter on a plain pseudo-terminal, including the device
// faults the flasher must survive or report.
#include "firmwareflasher.h"
#include "metersession.h"
#include "powermetersimulator.h"
#include "pseudoterminal.h"
#include "seriallink.h"
#include "watchdog.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using Fault = PowerMeterOptions::Fault;
using Kind = FirmwareFlasher::FlashFailure::Kind;

namespace {

QByteArray testImage(qsizetype size)
{
    QByteArray image(size, '\0');
    for (qsizetype i = 0; i < size; ++i)
        image[i] = char((i * 31 + i / 251 + 1) & 0xFF);
    return image;
}

constexpr int endOfTransmission = -1;

// What the flasher wrote, from the bytes that reached the meter: the block number of every
// packet in order, endOfTransmission for an EOT. "D" is left out.
QList<int> packetsWritten(const QByteArray &bytes)
{
    QList<int> packets;
    for (qsizetype at = 0; at < bytes.size();) {
        if (bytes.at(at) == char(FirmwareFlasher::soh) && at + 1 < bytes.size()) {
            packets.append(quint8(bytes.at(at + 1)));
            at += FirmwareFlasher::packetSize;
            continue;
        }
        if (bytes.at(at) == char(FirmwareFlasher::eot))
            packets.append(endOfTransmission);
        ++at;
    }
    return packets;
}

// One meter on a fresh pseudo-terminal, and the program's link and flasher bound to it.
struct Bench
{
    PseudoTerminal terminal;
    std::unique_ptr<PowerMeterSimulator> meter;
    SerialLink link;
    FirmwareFlasher flasher;
    FirmwareFlasher::Timing timing;

    // The master end is owned: UnplugAt and DisappearAfterBlock close it, as an unplug does.
    bool start(const PowerMeterOptions &options = {})
    {
        if (!terminal.open())
            return false;
        meter = std::make_unique<PowerMeterSimulator>(terminal.takeMasterFd(), options,
                                                      PowerMeterSimulator::Ownership::Owned);
        meter->start();
        if (!link.acquire(6000, terminal.slavePath()))
            return false;
        flasher.attachLink(&link);
        // The simulated bootloader never announces itself before "D"; the real 6 s wait for that
        // line would only slow every test down.
        timing.replyLineTimeoutMs = 20;
        flasher.setTiming(timing);
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
        // A healthy meter sees "D", every packet once and one end of transmission, nothing else.
        const QList<int> packets = QList<int>{0} + numbers + QList<int>{endOfTransmission, 0};
        QCOMPARE(packetsWritten(bench.meter->received()), packets);
        QCOMPARE(bench.meter->received().size(),
                 1 + (numbers.size() + 2) * FirmwareFlasher::packetSize + 1);

        QList<int> emitted;
        for (const QList<QVariant> &arguments : spy)
            emitted.append(arguments.at(0).toInt());
        QCOMPARE(emitted.size(), numbers.size() + 1);
        if (!progress.isEmpty()) // too many to list for the largest image
            QCOMPARE(emitted, progress);
        // The flasher keeps its own hold; the window's releases close the port.
        QCOMPARE(bench.link.holds(), 2);
    }

    // A hostile or faulty meter against an image of 6 data blocks. A packet counts only once the
    // meter has ACKed it: whatever went wrong, the call returns true exactly when the meter holds
    // the image, and a resent packet is the same packet again.
    void hostileMeter_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("faultBlock"); // 0 header, 1 to 6 data blocks, or the end
        QTest::addColumn<int>("faultCount");
        QTest::addColumn<int>("faultMs"); // the delay of a late ACK, the time a meter is deaf
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<int>("sends"); // of the packet the fault hits
        QTest::addColumn<int>("failure");

        const int eot = PowerMeterOptions::endOfTransmission;
        const int closing = PowerMeterOptions::closingBlock;
        const int none = int(Kind::None);
        const int silent = int(Kind::MeterSilent);
        const int unconfirmed = int(Kind::Unconfirmed);
        QTest::newRow("C before the header ACK")
            << int(Fault::CrcBeforeHeaderAck) << 0 << 1 << 0 << true << 1 << none;
        QTest::newRow("stray bytes in front of every ACK")
            << int(Fault::GarbageBetweenAcks) << 2 << 1 << 0 << true << 1 << none;
        QTest::newRow("every ACK 50 ms late")
            << int(Fault::SlowAcks) << 2 << 1 << 50 << true << 1 << none;
        QTest::newRow("dropped block is resent and completes")
            << int(Fault::DropBlock) << 3 << 1 << 0 << true << 2 << none;
        QTest::newRow("lost ACK: the block is resent and ACKed again")
            << int(Fault::LoseAck) << 3 << 1 << 0 << true << 2 << none;
        QTest::newRow("noise instead of the ACK is resent")
            << int(Fault::GarbageAck) << 3 << 1 << 0 << true << 2 << none;
        QTest::newRow("single CAN is resent")
            << int(Fault::SingleCancel) << 3 << 1 << 0 << true << 2 << none;
        QTest::newRow("NAK once is resent")
            << int(Fault::NakBlockOnce) << 2 << 1 << 0 << true << 2 << none;
        QTest::newRow("NAK 10 times: the last resend completes")
            << int(Fault::NakBlock) << 2 << 10 << 0 << true << 11 << none;
        QTest::newRow("NAK every time: 1 send and 10 resends fail")
            << int(Fault::NakBlockAlways) << 2 << 1 << 0 << false << 11 << unconfirmed;
        QTest::newRow("11 time-outs on one packet fail")
            << int(Fault::ChatterAt) << 3 << 1 << 0 << false << 11 << unconfirmed;
        QTest::newRow("CAN CAN aborts at once")
            << int(Fault::CancelAtBlock) << 2 << 1 << 0 << false << 1 << int(Kind::MeterCancelled);
        // Found among the input discarded before block 3: block 3 must not go out at all.
        QTest::newRow("CAN CAN right behind an ACK: nothing more is written")
            << int(Fault::CancelAfterAck) << 2 << 1 << 0 << false << 1 << int(Kind::MeterCancelled);
        QTest::newRow("deaf for a while: resent until heard")
            << int(Fault::DeafAt) << 3 << 1 << 200 << true << 3 << none;
        QTest::newRow("dropped for good: three silent waits fail")
            << int(Fault::DropBlock) << 3 << -1 << 0 << false << 3 << silent;
        QTest::newRow("unanswered last block fails")
            << int(Fault::HangAt) << 6 << 1 << 0 << false << 3 << silent;
        QTest::newRow("unanswered EOT fails")
            << int(Fault::HangAt) << eot << 1 << 0 << false << 3 << silent;
        QTest::newRow("unanswered closing block fails")
            << int(Fault::HangAt) << closing << 1 << 0 << false << 3 << silent;
        QTest::newRow("closing block NAKed 3 times is resent and completes")
            << int(Fault::NakBlock) << closing << 3 << 0 << true << 4 << none;
        QTest::newRow("closing block NAKed past the budget fails")
            << int(Fault::NakBlock) << closing << 11 << 0 << false << 11 << unconfirmed;
        QTest::newRow("lost ACK of the closing block: resent and ACKed again")
            << int(Fault::LoseAck) << closing << 1 << 0 << true << 2 << none;
        QTest::newRow("single CAN at the closing block is resent")
            << int(Fault::SingleCancel) << closing << 1 << 0 << true << 2 << none;
        // Both would shift every later ACK by one packet if waiting input were not discarded
        // before each write; the stray NAK would then also resend a block the meter holds.
        QTest::newRow("ACK past the limit: one resend, the count never shifts")
            << int(Fault::LateAck) << 3 << 1 << 250 << true << 2 << none;
        QTest::newRow("stray NAK in noise after an ACK: no resend")
            << int(Fault::NakInNoise) << 3 << 1 << 0 << true << 1 << none;
        // Failed handshakes: no data block may follow the header.
        QTest::newRow("header never ACKed")
            << int(Fault::Silent) << 0 << 1 << 0 << false << 1 << unconfirmed;
        QTest::newRow("no C after the header ACK")
            << int(Fault::NoCrcRequest) << 0 << 1 << 0 << false << 1 << int(Kind::NoCrcRequest);
    }

    void hostileMeter()
    {
        QFETCH(int, fault);
        QFETCH(int, faultBlock);
        QFETCH(int, faultCount);
        QFETCH(int, faultMs);
        QFETCH(bool, succeeds);
        QFETCH(int, sends);
        QFETCH(int, failure);
        const int eot = PowerMeterOptions::endOfTransmission;
        const int closing = PowerMeterOptions::closingBlock;
        PowerMeterOptions options;
        options.fault = Fault(fault);
        options.faultBlock = faultBlock;
        options.faultCount = faultCount;
        options.faultDurationMs = faultMs;
        options.ackDelayMs = faultMs;
        Bench bench;
        QVERIFY(bench.start(options));
        bench.timing.ackTimeoutMs = 150;
        bench.timing.ackPollMs = 50;
        bench.flasher.setTiming(bench.timing);
        const QByteArray image = testImage(5 * 128 + 7);
        const QString name = QStringLiteral("hostile.bin");
        {
            const Watchdog watchdog(10000, "flashing against a hostile meter");
            QCOMPARE(bench.flasher.flashImage(image, name), succeeds);
        }

        const FirmwareFlasher::FlashFailure failed = bench.flasher.lastFailure();
        QCOMPARE(int(failed.kind), failure);
        QCOMPARE(failed.blocks, 6);
        const bool atEnd = faultBlock == eot || faultBlock == closing;
        // A cancel behind an ACK is found when the next packet is about to go.
        const int failedAt = fault == int(Fault::CancelAfterAck) ? faultBlock + 1 : faultBlock;
        if (!succeeds)
            QCOMPARE(failed.block, atEnd ? 7 : failedAt);

        // Every packet once, the one the fault hit as often as it took; nothing after a failure.
        QList<int> written{0};
        const int lastBlock = succeeds || atEnd ? 6 : faultBlock;
        for (int block = 1; block <= lastBlock; ++block)
            written.append(QList<int>(block == faultBlock ? sends : 1, block));
        if (succeeds || atEnd) {
            written.append(endOfTransmission);
            written.append(QList<int>(atEnd ? sends : 1, 0));
        }
        QTRY_COMPARE(packetsWritten(bench.meter->received()), written);
        QCOMPARE(bench.meter->holds(name, image), succeeds);
        if (succeeds)
            QCOMPARE(bench.meter->protocolErrors(), QStringList());
        // Past a cancel the bootloader reads every byte as a command: image bytes sent after it
        // could reset it or start another download.
        QCOMPARE(bench.meter->commands(), QByteArray("D"));
    }

    // A meter that stops answering ends the call after three waits, not after all the resends
    // its packet may have: at the real limit about 9 s.
    void silenceEndsAfterThreeWaits()
    {
        PowerMeterOptions options;
        options.fault = Fault::HangAt;
        options.faultBlock = 4;
        Bench bench;
        QVERIFY(bench.start(options));
        QCOMPARE(bench.flasher.currentAckTimeoutMs(), FirmwareFlasher::attachedAckTimeoutMs);
        bench.timing.ackTimeoutMs = 200;
        bench.flasher.setTiming(bench.timing);
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(!bench.flasher.flashImage(testImage(4096), QStringLiteral("x.bin")));
        const qint64 expectedMs = FirmwareFlasher::maxSilentWaits * 200;
        QVERIFY2(elapsed.elapsed() >= expectedMs && elapsed.elapsed() < expectedMs + 400,
                 qPrintable(QString::number(elapsed.elapsed())));
    }

    // The meter gets one byte per character: a NUL would forge the size field that follows the
    // name, other characters would be mangled. Such a name is refused before "D".
    void headerNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("accepted");
        // 122 characters, "4096" and two NULs fill the 128-byte header block exactly.
        QTest::newRow("122 characters fill the block") << QString(122, QLatin1Char('n')) << true;
        QTest::newRow("printable ASCII") << QStringLiteral("DOVUr3 main~1.0_firmware") << true;
        QTest::newRow("overlong") << QString(123, QLatin1Char('n')) << false;
        QTest::newRow("NUL forging the size field")
            << QString::fromLatin1("DOVUr3A\0 1\0 firmware", 21) << false;
        QTest::newRow("non-ASCII") << QStringLiteral("DOVUr3_\u00e9_firmware") << false;
        QTest::newRow("outside Latin-1") << QStringLiteral("\u041f\u0440\u043e\u0448") << false;
        QTest::newRow("escape") << QStringLiteral("DOVUr3\x1b]0;x\x07") << false;
        QTest::newRow("DEL") << QStringLiteral("DOVUr3\x7f") << false;
        QTest::newRow("empty") << QString() << false;
    }

    void headerNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, accepted);
        Bench bench;
        QVERIFY(bench.start());
        QCOMPARE(FirmwareFlasher::headerNameProblem(name, 4096).isEmpty(), accepted);
        QCOMPARE(bench.flasher.flashImage(testImage(4096), name), accepted);
        if (accepted) {
            QVERIFY(bench.meter->waitForImages(1, 1000));
            QCOMPARE(bench.meter->images().constFirst().name, name);
            return;
        }
        QCOMPARE(bench.flasher.lastFailure().kind, Kind::BadName);
        QTest::qWait(50);
        QCOMPARE(bench.meter->received(), QByteArray());
    }

    // One name the meter cannot take stops the whole list before anything reaches the meter: a
    // release is written whole or not at all.
    void badNameStopsTheWholeList()
    {
        Bench bench;
        QVERIFY(bench.start());
        MeterSession session(bench.link, bench.flasher, QStringLiteral("tst_firmwareflasher"));
        const QList<MeterImage> images{{QStringLiteral("DOVUr3_a_firmware"), testImage(4096)},
                                       {QString(200, QLatin1Char('b')), testImage(4096)},
                                       {QStringLiteral("DOVUr3\ttab"), testImage(4096)}};
        QStringList reported;
        session.setReport([&](const UpdateStep &step) {
            QCOMPARE(step.kind, UpdateStep::Kind::BadName);
            reported.append(step.subject);
        });
        QCOMPARE(session.flashImages(images).kind, UpdateStep::Kind::BadName);
        QCOMPARE(reported, (QStringList{images[1].name, images[2].name}));
        QTest::qWait(50);
        QCOMPARE(bench.meter->received(), QByteArray());
    }

    // An unplug during streaming ends the call at once; waiting out the ACK limit for each
    // remaining block would take minutes and then report success.
    void unplugMidTransferFailsAtOnce()
    {
        PowerMeterOptions options;
        options.fault = Fault::UnplugAt;
        options.faultBlock = 4;
        Bench bench;
        QVERIFY(bench.start(options));
        QElapsedTimer elapsed;
        elapsed.start();
        {
            // Undetected, the unplug would hold this thread for minutes.
            const Watchdog watchdog(10000, "flashing after the unplug");
            QVERIFY(!bench.flasher.flashImage(testImage(100 * 128), QStringLiteral("x.bin")));
        }
        QVERIFY(bench.link.failed());
        QCOMPARE(bench.flasher.lastFailure().kind, Kind::MeterUnplugged);
        QCOMPARE(bench.flasher.lastFailure().block, 4);
        // 100 blocks take about half a second when all goes well; waiting out the ACK limit for
        // even one block after the unplug would take 3 s.
        QVERIFY2(elapsed.elapsed() < 1500, qPrintable(QString::number(elapsed.elapsed())));
    }
};

QTEST_GUILESS_MAIN(TestFirmwareFlasher)
#include "tst_firmwareflasher.moc"
