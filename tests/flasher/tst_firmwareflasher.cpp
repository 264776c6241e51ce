// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// FirmwareFlasher against the simulated meter on a plain pseudo-terminal, including the device
// faults the flasher must survive or report.
#include "bootloaderprotocol.h"
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

Q_DECLARE_METATYPE(PowerMeterOptions::Injection)

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
        if (bytes.at(at) == char(BootloaderProtocol::soh) && at + 1 < bytes.size()) {
            packets.append(quint8(bytes.at(at + 1)));
            at += BootloaderProtocol::packetSize;
            continue;
        }
        if (bytes.at(at) == char(BootloaderProtocol::eot))
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

    // The limits the fault rows run with: a fraction of a real meter's.
    void shortenWaits()
    {
        timing.ackTimeoutMs = 150;
        timing.ackPollMs = 50;
        flasher.setTiming(timing);
    }
};

} // namespace

class TestFirmwareFlasher : public QObject
{
    Q_OBJECT

private slots:
    void crcMatchesXmodemCheckValues()
    {
        QCOMPARE(BootloaderProtocol::crc16("123456789"), quint16(0x31C3));
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
                 1 + (numbers.size() + 2) * BootloaderProtocol::packetSize + 1);

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
    // the image, and a resent packet is the same packet again. A failure names its reason code
    // and says in plain words where it happened.
    void hostileMeter_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<int>("faultBlock"); // 0 header, 1 to 6 data blocks, or the end
        QTest::addColumn<int>("faultCount");
        QTest::addColumn<int>("faultMs");  // the delay of a late ACK, the time a meter is deaf
        QTest::addColumn<int>("sends");    // of the packet the fault hits
        QTest::addColumn<QString>("code"); // empty: the image is written
        QTest::addColumn<QString>("words");

        const int eot = PowerMeterOptions::endOfTransmission;
        const int closing = PowerMeterOptions::closingBlock;
        const QString ok;
        const QString silent = QStringLiteral("meter-silent");
        const QString nak = QStringLiteral("meter-nak");
        const QString cancelled = QStringLiteral("meter-cancelled");
        QTest::newRow("C before the header ACK")
            << int(Fault::CrcBeforeHeaderAck) << 0 << 1 << 0 << 1 << ok << QString();
        QTest::newRow("stray bytes in front of every ACK")
            << int(Fault::GarbageBetweenAcks) << 2 << 1 << 0 << 1 << ok << QString();
        QTest::newRow("every ACK 50 ms late")
            << int(Fault::SlowAcks) << 2 << 1 << 50 << 1 << ok << QString();
        QTest::newRow("dropped block is resent and completes")
            << int(Fault::DropBlock) << 3 << 1 << 0 << 2 << ok << QString();
        QTest::newRow("lost ACK: the block is resent and ACKed again")
            << int(Fault::LoseAck) << 3 << 1 << 0 << 2 << ok << QString();
        QTest::newRow("noise instead of the ACK is resent")
            << int(Fault::GarbageAck) << 3 << 1 << 0 << 2 << ok << QString();
        QTest::newRow("single CAN is resent")
            << int(Fault::SingleCancel) << 3 << 1 << 0 << 2 << ok << QString();
        // Dropped with the input that waits before block 4: only a pair is an abort.
        QTest::newRow("ACK then a lone CAN: the next block still goes")
            << int(Fault::LoneCancelAfterAck) << 3 << 1 << 0 << 1 << ok << QString();
        QTest::newRow("NAK once is resent")
            << int(Fault::NakBlockOnce) << 2 << 1 << 0 << 2 << ok << QString();
        QTest::newRow("NAK 10 times: the last resend completes")
            << int(Fault::NakBlock) << 2 << 10 << 0 << 11 << ok << QString();
        QTest::newRow("NAK every time: 1 send and 10 resends fail")
            << int(Fault::NakBlockAlways) << 2 << 1 << 0 << 11 << nak
            << "the meter refused block 2 of 6 eleven times";
        QTest::newRow("11 time-outs on one packet fail")
            << int(Fault::ChatterAt) << 3 << 1 << 0 << 11 << nak
            << "the meter refused block 3 of 6 eleven times";
        QTest::newRow("CAN CAN aborts at once")
            << int(Fault::CancelAtBlock) << 2 << 1 << 0 << 1 << cancelled
            << "the meter cancelled the transfer at block 2 of 6";
        // Found among the input discarded before block 3: block 3 must not go out at all.
        QTest::newRow("CAN CAN right behind an ACK: nothing more is written")
            << int(Fault::CancelAfterAck) << 2 << 1 << 0 << 1 << cancelled
            << "the meter cancelled the transfer at block 3 of 6";
        QTest::newRow("deaf for a while: resent until heard")
            << int(Fault::DeafAt) << 3 << 1 << 200 << 3 << ok << QString();
        QTest::newRow("dropped for good: three silent waits fail")
            << int(Fault::DropBlock) << 3 << -1 << 0 << 3 << silent
            << "the meter stopped answering at block 3 of 6";
        QTest::newRow("unanswered last block fails")
            << int(Fault::HangAt) << 6 << 1 << 0 << 3 << silent
            << "the meter stopped answering at block 6 of 6";
        QTest::newRow("unanswered end fails at the closing block")
            << int(Fault::HangAt) << eot << 1 << 0 << 3 << silent
            << "the meter stopped answering at the end of the transfer";
        QTest::newRow("unanswered closing block fails")
            << int(Fault::HangAt) << closing << 1 << 0 << 3 << silent
            << "the meter stopped answering at the end of the transfer";
        QTest::newRow("closing block NAKed 3 times is resent and completes")
            << int(Fault::NakBlock) << closing << 3 << 0 << 4 << ok << QString();
        QTest::newRow("closing block NAKed past the budget fails")
            << int(Fault::NakBlock) << closing << 11 << 0 << 11 << nak
            << "the meter refused the end of the transfer eleven times";
        QTest::newRow("lost ACK of the closing block: resent and ACKed again")
            << int(Fault::LoseAck) << closing << 1 << 0 << 2 << ok << QString();
        QTest::newRow("single CAN at the closing block is resent")
            << int(Fault::SingleCancel) << closing << 1 << 0 << 2 << ok << QString();
        QTest::newRow("stray NAK in noise after an ACK: no resend")
            << int(Fault::NakInNoise) << 3 << 1 << 0 << 1 << ok << QString();
        // The header is confirmed like any packet.
        QTest::newRow("header NAKed once is resent")
            << int(Fault::NakBlockOnce) << 0 << 1 << 0 << 2 << ok << QString();
        QTest::newRow("header lost: resent, and its C confirms it")
            << int(Fault::LoseAck) << 0 << 1 << 0 << 1 << ok << QString();
        QTest::newRow("header NAKed every time fails as a refusal")
            << int(Fault::NakBlockAlways) << 0 << 1 << 0 << 11 << nak
            << "the meter refused the start of the transfer (the image's name and size) eleven "
               "times";
        QTest::newRow("header never answered")
            << int(Fault::Silent) << 0 << 1 << 0 << 3 << silent
            << "the meter stopped answering at the start of the transfer";
        QTest::newRow("no C after the header ACK")
            << int(Fault::NoCrcRequest) << 0 << 1 << 0 << 1 << "meter-not-ready"
            << "the meter took the image's name and size but never asked for the data";
        QTest::newRow("unplugged at a block")
            << int(Fault::UnplugAt) << 4 << 1 << 0 << 1 << "meter-unplugged"
            << "the meter was unplugged at block 4 of 6";
    }

    void hostileMeter()
    {
        QFETCH(int, fault);
        QFETCH(int, faultBlock);
        QFETCH(int, faultCount);
        QFETCH(int, faultMs);
        QFETCH(int, sends);
        QFETCH(QString, code);
        QFETCH(QString, words);
        const bool succeeds = code.isEmpty();
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
        bench.shortenWaits();
        const QByteArray image = testImage(5 * 128 + 7);
        const QString name = QStringLiteral("hostile.bin");
        {
            const Watchdog watchdog(10000, "flashing against a hostile meter");
            QCOMPARE(bench.flasher.flashImage(image, name), succeeds);
        }

        const FirmwareFlasher::FlashFailure failed = bench.flasher.lastFailure();
        QCOMPARE(QString(failed.code()), code);
        QCOMPARE(failed.describe(), words);
        QCOMPARE(failed.blocks, 6);
        const bool atEnd = faultBlock == eot || faultBlock == closing;
        const bool unplugged = fault == int(Fault::UnplugAt);

        // Every packet once, the one the fault hit as often as it took; nothing after a failure.
        QList<int> written(faultBlock == 0 ? sends : 1, 0);
        const int lastBlock = succeeds || atEnd ? 6 : faultBlock;
        for (int block = 1; block <= lastBlock; ++block)
            written.append(QList<int>(block == faultBlock ? sends : 1, block));
        if (succeeds || atEnd) {
            written.append(endOfTransmission);
            written.append(QList<int>(atEnd ? sends : 1, 0));
        }
        if (!unplugged) // the unplugged meter never saw its packet
            QTRY_COMPARE(packetsWritten(bench.meter->received()), written);
        QCOMPARE(bench.meter->holds(name, image), succeeds);
        if (succeeds)
            QCOMPARE(bench.meter->protocolErrors(), QStringList());
        // Past a cancel the bootloader reads every byte as a command: image bytes sent after it
        // could reset it or start another download.
        QCOMPARE(bench.meter->commands(), QByteArray("D"));
    }

    // The end of a transfer is confirmed by its own answer, and nothing else may pass for it:
    // the exact packets the meter saw, and the answers it gave.
    void endOfTransfer_data()
    {
        QTest::addColumn<bool>("ackEnd"); // the meter ACKs the end of transmission
        QTest::addColumn<int>("blocks");
        QTest::addColumn<QList<PowerMeterOptions::Injection>>("faults");
        QTest::addColumn<QList<int>>("packets"); // after the data blocks
        QTest::addColumn<QByteArray>("answers"); // to those packets
        QTest::addColumn<QString>("code");

        using Injection = PowerMeterOptions::Injection;
        const int eot = PowerMeterOptions::endOfTransmission;
        const int closing = PowerMeterOptions::closingBlock;
        const int end = endOfTransmission;
        const QByteArray ack(1, BootloaderProtocol::ack);
        const QByteArray nak(1, BootloaderProtocol::nak);
        QTest::newRow("end NAKed once: sent again, then the closing block")
            << false << 6 << QList<Injection>{{Fault::NakBlock, eot, -1, 1}}
            << QList<int>{end, end, 0} << nak + ack << QString();
        QTest::newRow("end ACKed, then silence: no closing block")
            << true << 6 << QList<Injection>{} << QList<int>{end} << ack << QString();
        QTest::newRow("end ACKed after a NAK: no closing block")
            << true << 6 << QList<Injection>{{Fault::NakBlock, eot, -1, 1}} << QList<int>{end, end}
            << nak + ack << QString();
        // The closing block would be data block 256 to a meter that is still taking data.
        QTest::newRow("32,640-byte image, end NAKed: it goes again")
            << false << 255 << QList<Injection>{{Fault::NakBlock, eot, -1, 1}}
            << QList<int>{end, end, 0} << nak + ack << QString();
        // A lone CAN refuses the end as a NAK does: a closing block now would be read as data.
        const QByteArray cancel(1, BootloaderProtocol::cancel);
        QTest::newRow("end refused with one CAN: sent again, then the closing block")
            << false << 6 << QList<Injection>{{Fault::SingleCancel, eot, -1, 1}}
            << QList<int>{end, end, 0} << cancel + ack << QString();
        // The last data block's ACK must not pass for the end's; a meter that only prints after
        // the end never confirmed it, and is not waited on to the transfer's bound.
        QTest::newRow("noise after the end, no answer: not written")
            << true << 6 << QList<Injection>{{Fault::ChatterAt, eot, -1, 1}} << QList<int>{end}
            << QByteArray() << QStringLiteral("meter-nak");
        QTest::newRow("end NAKed every time fails as a refusal")
            << false << 6 << QList<Injection>{{Fault::NakBlockAlways, eot, -1, 1}}
            << QList<int>(11, end) << QByteArray(11, BootloaderProtocol::nak)
            << QStringLiteral("meter-nak");
        // Late answers of a data block must not count for the end: dropped in the quiet gap
        // before it.
        QTest::newRow("late data-block ACK before the end: dropped")
            << false << 6 << QList<Injection>{{Fault::StaleAck, 6, -1, 1, 0, 20}}
            << QList<int>{end, 0} << ack << QString();
        // And in the quiet gap before the closing block, which the meter then loses.
        const FirmwareFlasher::Timing timing;
        QTest::newRow("late data-block ACK during the closing wait: dropped")
            << false << 6
            << QList<Injection>{{Fault::StaleAck, eot, -1, 1, 0,
                                 timing.eotAnswerMs + timing.quietGapMs / 2},
                                {Fault::DropBlock, closing, -1, 1}}
            << QList<int>{end, 0, 0} << ack << QString();
        QTest::newRow("closing ACK just before an unplug still counts")
            << false << 6 << QList<Injection>{{Fault::DisappearAfterBlock, closing, -1, 1, 50}}
            << QList<int>{end, 0} << ack << QString();
        // One silent wait on each of two packets is not three in a row.
        QTest::newRow("two silent waits twice, not in a row: written")
            << false << 6
            << QList<Injection>{{Fault::DropBlock, 2, -1, 2}, {Fault::DropBlock, 5, -1, 2}}
            << QList<int>{end, 0} << ack << QString();
        // An ACK that comes past the limit is dropped before the next packet; kept, it would be
        // taken for the answer to block 4, which the meter lost.
        QTest::newRow("ACK past the limit: the next block's loss is still seen")
            << false << 6
            << QList<Injection>{{Fault::LateAck, 3, -1, 1, 0, 250}, {Fault::DropBlock, 4, -1, 1}}
            << QList<int>{end, 0} << ack << QString();
    }

    void endOfTransfer()
    {
        QFETCH(bool, ackEnd);
        QFETCH(int, blocks);
        QFETCH(QList<PowerMeterOptions::Injection>, faults);
        QFETCH(QList<int>, packets);
        QFETCH(QByteArray, answers);
        QFETCH(QString, code);
        PowerMeterOptions options;
        options.ackEndOfTransmission = ackEnd;
        options.moreFaults = faults;
        Bench bench;
        QVERIFY(bench.start(options));
        bench.shortenWaits();
        const QByteArray image = testImage(qsizetype(blocks) * 128);
        const QString name = QStringLiteral("end.bin");
        {
            const Watchdog watchdog(20000, "flashing the end of an image");
            QVERIFY2(bench.flasher.flashImage(image, name) == code.isEmpty(),
                     qPrintable(bench.flasher.lastFailure().describe()));
        }
        QCOMPARE(QString(bench.flasher.lastFailure().code()), code);
        QTest::qWait(50);
        const QList<int> seen = packetsWritten(bench.meter->received());
        const qsizetype ending = seen.indexOf(endOfTransmission);
        QVERIFY(ending > 0);
        QCOMPARE(seen.mid(ending), packets);
        QVERIFY(bench.meter->sent().endsWith(answers));
        QCOMPARE(bench.meter->holds(name, image), code.isEmpty());
        QCOMPARE(bench.meter->protocolErrors(), QStringList());
        QCOMPARE(bench.meter->commands(), QByteArray("D"));
    }

    // A meter that answers each packet just badly enough to be sent again is held to the
    // image's whole-transfer bound.
    void wholeTransferIsBounded()
    {
        PowerMeterOptions options;
        options.fault = Fault::GarbageAck;
        options.faultBlock = 2;
        options.faultCount = 10; // the eleventh send gets through
        options.moreFaults = {{Fault::GarbageAck, 3, -1, 10}, {Fault::GarbageAck, 4, -1, 10}};
        Bench bench;
        QVERIFY(bench.start(options));
        bench.shortenWaits();
        bench.timing.transferBaseMs = 1500;
        bench.timing.transferPerBlockMs = 100;
        bench.flasher.setTiming(bench.timing);
        const QByteArray image = testImage(6 * 128);
        QCOMPARE(bench.flasher.transferBoundMs(image.size()), 2100);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!bench.flasher.flashImage(image, QStringLiteral("slow.bin")));
        const qint64 tookMs = clock.elapsed();
        const FirmwareFlasher::FlashFailure failed = bench.flasher.lastFailure();
        QCOMPARE(QString(failed.code()), QStringLiteral("meter-too-slow"));
        QCOMPARE(failed.block, 3);
        QVERIFY2(failed.describe().startsWith("the meter answered too slowly: the image was still "
                                              "not written after 2 s"),
                 qPrintable(failed.describe()));
        // Each block alone takes 11 waits of 150 ms: without the bound, about 5 s.
        QVERIFY2(tookMs < 3500, qPrintable(QString::number(tookMs)));
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
        QCOMPARE(QString(bench.flasher.lastFailure().code()), QStringLiteral("bad-name"));
        QTest::qWait(50);
        QCOMPARE(bench.meter->received(), QByteArray());
    }

    // Without a link nothing can be written: the port's failure, not the meter's.
    void noLinkFailsOnThePort()
    {
        FirmwareFlasher flasher;
        QVERIFY(!flasher.flashImage(testImage(4096), QStringLiteral("x.bin")));
        QCOMPARE(QString(flasher.lastFailure().code()), QStringLiteral("port-failed"));
        QCOMPARE(flasher.lastFailure().describe(),
                 QStringLiteral("the port could not be written before the transfer began"));
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
