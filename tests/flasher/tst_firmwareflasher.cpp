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

// One row of the hostile-meter table: the fault, the sends of the packet it hits, and the
// failure's code (empty: the image is written) and words.
void hostileRow(const char *row, const PowerMeterOptions::Injection &fault, int sends,
                const QString &code = QString(), const QString &words = QString())
{
    QTest::newRow(row) << fault << sends << code << words;
}

// One row of the end-of-transfer table; an empty code: the image is written.
void endRow(const char *row, bool ackEnd, int blocks,
            const QList<PowerMeterOptions::Injection> &faults, const QList<int> &packets,
            const QByteArray &answers, const QString &code = QString())
{
    QTest::newRow(row) << ackEnd << blocks << faults << packets << answers << code;
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
        QVERIFY(bench.meter->holds(QStringLiteral("MCU-A1.bin"), image));
        QCOMPARE(bench.meter->protocolErrors(), QStringList());
        QList<int> numbers;
        for (int k = 1; k <= (size + 127) / 128; ++k)
            numbers.append(k % 256);
        // A healthy meter sees "D", every packet once, numbered as it wraps, and one end of
        // transmission, nothing else.
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
        // At packet 0 the header, 1 to 6 the data blocks, or the end; with a count, and the
        // time a meter is deaf or the delay of a late ACK.
        QTest::addColumn<PowerMeterOptions::Injection>("fault");
        QTest::addColumn<int>("sends"); // of the packet the fault hits
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("words");

        const int closing = PowerMeterOptions::closingBlock;
        const QString silent = QStringLiteral("meter-silent");
        const QString nak = QStringLiteral("meter-nak");
        const QString cancelled = QStringLiteral("meter-cancelled");
        hostileRow("C before the header ACK", {Fault::CrcBeforeHeaderAck, 0}, 1);
        hostileRow("stray bytes in front of every ACK", {Fault::GarbageBetweenAcks, 2}, 1);
        hostileRow("every ACK 50 ms late", {Fault::SlowAcks, 2, -1, 1, 0, 50}, 1);
        hostileRow("dropped block is resent and completes", {Fault::DropBlock, 3}, 2);
        hostileRow("lost ACK: the block is resent and ACKed again", {Fault::LoseAck, 3}, 2);
        hostileRow("noise instead of the ACK is resent", {Fault::GarbageAck, 3}, 2);
        hostileRow("single CAN is resent", {Fault::SingleCancel, 3}, 2);
        // Dropped with the input that waits before block 4: only a pair is an abort.
        hostileRow("ACK then a lone CAN: the next block still goes", {Fault::LoneCancelAfterAck, 3},
                   1);
        // A single NAK is the first of these.
        hostileRow("NAK 10 times: the last resend completes", {Fault::NakBlock, 2, -1, 10}, 11);
        hostileRow("NAK every time: 1 send and 10 resends fail", {Fault::NakBlockAlways, 2}, 11,
                   nak, "the meter refused block 2 of 6 eleven times");
        hostileRow("11 time-outs on one packet fail", {Fault::ChatterAt, 3}, 11, nak,
                   "the meter refused block 3 of 6 eleven times");
        hostileRow("CAN CAN aborts at once", {Fault::CancelAtBlock, 2}, 1, cancelled,
                   "the meter cancelled the transfer at block 2 of 6");
        // Found among the input discarded before block 3: block 3 must not go out at all.
        hostileRow("CAN CAN right behind an ACK: nothing more is written",
                   {Fault::CancelAfterAck, 2}, 1, cancelled,
                   "the meter cancelled the transfer at block 3 of 6");
        hostileRow("deaf for a while: resent until heard", {Fault::DeafAt, 3, -1, 1, 200}, 3);
        hostileRow("dropped for good: three silent waits fail", {Fault::DropBlock, 3, -1, -1}, 3,
                   silent, "the meter stopped answering at block 3 of 6");
        hostileRow("unanswered last block fails", {Fault::HangAt, 6}, 3, silent,
                   "the meter stopped answering at block 6 of 6");
        // A meter that hangs at the end of transmission, which it takes without a word, looks
        // the same to the flasher.
        hostileRow("unanswered closing block fails", {Fault::HangAt, closing}, 3, silent,
                   "the meter stopped answering at the end of the transfer");
        hostileRow("closing block NAKed 3 times is resent and completes",
                   {Fault::NakBlock, closing, -1, 3}, 4);
        hostileRow("closing block NAKed past the budget fails", {Fault::NakBlock, closing, -1, 11},
                   11, nak, "the meter refused the end of the transfer eleven times");
        hostileRow("lost ACK of the closing block: resent and ACKed again",
                   {Fault::LoseAck, closing}, 2);
        hostileRow("single CAN at the closing block is resent", {Fault::SingleCancel, closing}, 2);
        hostileRow("stray NAK in noise after an ACK: no resend", {Fault::NakInNoise, 3}, 1);
        // The header is confirmed like any packet.
        hostileRow("header NAKed once is resent", {Fault::NakBlockOnce, 0}, 2);
        hostileRow("header lost: resent, and its C confirms it", {Fault::LoseAck, 0}, 1);
        hostileRow("header NAKed every time fails as a refusal", {Fault::NakBlockAlways, 0}, 11,
                   nak,
                   "the meter refused the start of the transfer (the image's name and size) "
                   "eleven times");
        hostileRow("header never answered", {Fault::Silent, 0}, 3, silent,
                   "the meter stopped answering at the start of the transfer");
        hostileRow("no C after the header ACK", {Fault::NoCrcRequest, 0}, 1, "meter-not-ready",
                   "the meter took the image's name and size but never asked for the data");
        hostileRow("unplugged at a block", {Fault::UnplugAt, 4}, 1, "meter-unplugged",
                   "the meter was unplugged at block 4 of 6");
    }

    void hostileMeter()
    {
        QFETCH(PowerMeterOptions::Injection, fault);
        QFETCH(int, sends);
        QFETCH(QString, code);
        QFETCH(QString, words);
        const bool succeeds = code.isEmpty();
        PowerMeterOptions options;
        options.moreFaults = {fault};
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
        const bool atEnd = fault.block < 0; // the end of transmission or the closing block

        // Every packet once, the one the fault hit as often as it took; nothing after a failure.
        QList<int> written(fault.block == 0 ? sends : 1, 0);
        const int lastBlock = succeeds || atEnd ? 6 : fault.block;
        for (int block = 1; block <= lastBlock; ++block)
            written.append(QList<int>(block == fault.block ? sends : 1, block));
        if (succeeds || atEnd) {
            written.append(endOfTransmission);
            written.append(QList<int>(atEnd ? sends : 1, 0));
        }
        if (fault.fault != Fault::UnplugAt) // the unplugged meter never saw its packet
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

        const int eot = PowerMeterOptions::endOfTransmission;
        const int closing = PowerMeterOptions::closingBlock;
        const int end = endOfTransmission;
        const QByteArray ack(1, BootloaderProtocol::ack);
        const QByteArray nak(1, BootloaderProtocol::nak);
        const PowerMeterOptions::Injection endNakedOnce{Fault::NakBlock, eot};
        endRow("end NAKed once: sent again, then the closing block", false, 6, {endNakedOnce},
               {end, end, 0}, nak + ack);
        endRow("end ACKed, then silence: no closing block", true, 6, {}, {end}, ack);
        endRow("end ACKed after a NAK: no closing block", true, 6, {endNakedOnce}, {end, end},
               nak + ack);
        // The closing block would be data block 256 to a meter that is still taking data.
        endRow("32,640-byte image, end NAKed: it goes again", false, 255, {endNakedOnce},
               {end, end, 0}, nak + ack);
        // A lone CAN refuses the end as a NAK does: a closing block now would be read as data.
        endRow("end refused with one CAN: sent again, then the closing block", false, 6,
               {{Fault::SingleCancel, eot}}, {end, end, 0},
               QByteArray(1, BootloaderProtocol::cancel) + ack);
        // The last data block's ACK must not pass for the end's; a meter that only prints after
        // the end never confirmed it, and is not waited on to the transfer's bound.
        endRow("noise after the end, no answer: not written", true, 6, {{Fault::ChatterAt, eot}},
               {end}, QByteArray(), QStringLiteral("meter-nak"));
        endRow("end NAKed every time fails as a refusal", false, 6, {{Fault::NakBlockAlways, eot}},
               QList<int>(11, end), QByteArray(11, BootloaderProtocol::nak),
               QStringLiteral("meter-nak"));
        // Late answers of a data block must not count for the end: dropped in the quiet gap
        // before it.
        endRow("late data-block ACK before the end: dropped", false, 6,
               {{Fault::StaleAck, 6, -1, 1, 0, 20}}, {end, 0}, ack);
        // And in the quiet gap before the closing block, which the meter then loses.
        const FirmwareFlasher::Timing timing;
        endRow("late data-block ACK during the closing wait: dropped", false, 6,
               {{Fault::StaleAck, eot, -1, 1, 0, timing.eotAnswerMs + timing.quietGapMs / 2},
                {Fault::DropBlock, closing}},
               {end, 0, 0}, ack);
        endRow("closing ACK just before an unplug still counts", false, 6,
               {{Fault::DisappearAfterBlock, closing, -1, 1, 50}}, {end, 0}, ack);
        // One silent wait on each of two packets is not three in a row.
        endRow("two silent waits twice, not in a row: written", false, 6,
               {{Fault::DropBlock, 2, -1, 2}, {Fault::DropBlock, 5, -1, 2}}, {end, 0}, ack);
        // An ACK that comes past the limit is dropped before the next packet; kept, it would be
        // taken for the answer to block 4, which the meter lost.
        endRow("ACK past the limit: the next block's loss is still seen", false, 6,
               {{Fault::LateAck, 3, -1, 1, 0, 250}, {Fault::DropBlock, 4}}, {end, 0}, ack);
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
        for (int block = 2; block <= 4; ++block) // the eleventh send gets through
            options.moreFaults.append({Fault::GarbageAck, block, -1, 10});
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
    // its packet may have: at the real limit about 9 s. An unplug ends it at once, even at the
    // real limit: waiting that out for each remaining block would take minutes and then report
    // success.
    void waitsEndOnTime_data()
    {
        QTest::addColumn<int>("fault");        // at block 4 of 100
        QTest::addColumn<int>("ackTimeoutMs"); // 0: the real one
        QTest::addColumn<int>("leastMs");
        QTest::addColumn<int>("mostMs");
        const int silentMs = FirmwareFlasher::maxSilentWaits * 200;
        QTest::newRow("silent meter: three waits")
            << int(Fault::HangAt) << 200 << silentMs << silentMs + 400;
        // 100 blocks take about half a second when all goes well; waiting out the ACK limit for
        // even one block after the unplug would take 3 s.
        QTest::newRow("unplugged meter: at once") << int(Fault::UnplugAt) << 0 << 0 << 1500;
    }

    void waitsEndOnTime()
    {
        QFETCH(int, fault);
        QFETCH(int, ackTimeoutMs);
        QFETCH(int, leastMs);
        QFETCH(int, mostMs);
        PowerMeterOptions options;
        options.fault = Fault(fault);
        options.faultBlock = 4;
        Bench bench;
        QVERIFY(bench.start(options));
        QCOMPARE(bench.flasher.currentAckTimeoutMs(), FirmwareFlasher::attachedAckTimeoutMs);
        if (ackTimeoutMs > 0) {
            bench.timing.ackTimeoutMs = ackTimeoutMs;
            bench.flasher.setTiming(bench.timing);
        }
        QElapsedTimer elapsed;
        elapsed.start();
        {
            // Undetected, the unplug would hold this thread for minutes.
            const Watchdog watchdog(10000, "flashing a meter that stops answering");
            QVERIFY(!bench.flasher.flashImage(testImage(100 * 128), QStringLiteral("x.bin")));
        }
        const qint64 tookMs = elapsed.elapsed();
        QVERIFY2(tookMs >= leastMs && tookMs < mostMs, qPrintable(QString::number(tookMs)));
        QCOMPARE(bench.flasher.lastFailure().block, 4);
        QCOMPARE(bench.link.failed(), fault == int(Fault::UnplugAt));
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
};

QTEST_GUILESS_MAIN(TestFirmwareFlasher)
#include "tst_firmwareflasher.moc"
