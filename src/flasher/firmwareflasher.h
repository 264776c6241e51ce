// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>

#include "bootloaderprotocol.h"

class SerialLink;

// Writes one firmware image into the meter's bootloader over an attached SerialLink: the download
// command "D", then a YMODEM-style batch of 133-byte CRC-16 packets (header block 0 with name and
// size, numbered data blocks, end of transmission and a closing null block 0). The bytes and the
// packet layout are BootloaderProtocol's.
//
// Every packet, the header block included, counts only once the meter has acknowledged it: a
// packet without an ACK is sent again, byte for byte, within a budget of resends, and the image
// fails when the budget runs out. Whatever input waits when a packet is about to go out is
// discarded first, so an ACK is always the meter's answer to the packet just sent.
//
// The end is confirmed by its own answer. The line is left quiet for quietGapMs, then the end of
// transmission goes out and its answer is awaited for eotAnswerMs: a NAK sends it again, an ACK
// ends the image (that meter has left download mode and would read anything more as commands),
// and silence, which is what the bootloader we ship for does, leads to the closing block after
// another quiet gap. The gaps drop late ACKs of earlier packets, so that none is credited to the
// end. One case stays ambiguous: when the last data block is number 255, the closing block is
// exactly what data block 256 would be, so a meter that silently lost the end of transmission
// takes it as data and ACKs it, and no sender can tell that ACK from the right one.
//
// A whole image has a bound in time (Timing::transferBaseMs plus transferPerBlockMs per data
// block), so a meter that answers each packet just well enough to be resent cannot hold a run for
// hours.
//
// The flasher does not own the link; the window that owns both binds them with attachLink.
class FirmwareFlasher : public QObject
{
    Q_OBJECT

public:
    // How one wait for a control byte from the device ended.
    enum class ControlWait {
        Received,   // the awaited byte came (now or earlier)
        TimedOut,   // ackTimeoutMs passed without a single byte from the device
        Rejected,   // answered, but not with an ACK: a NAK, a lone CAN or other bytes
        Cancelled,  // the device sent two CAN bytes in a row
        PortFailed, // the port failed: the device is gone
        OutOfTime   // the image's whole-transfer bound ran out
    };

    // Why the last flashImage returned false, for the programs to tell the user.
    struct FlashFailure
    {
        enum class Kind {
            None,            // the image was written (or nothing has been tried yet)
            BadName,         // the name cannot travel in the header block; nothing was sent
            PortUnavailable, // the link could not be held or written
            MeterUnplugged,  // the port failed mid-transfer
            Unconfirmed,     // a packet went without an ACK through all its sends
            NoCrcRequest,    // the header was acknowledged, but no "C" followed
            MeterSilent,     // several waits in a row without a single byte from the meter
            MeterCancelled,  // the meter sent CAN CAN
            TooLong          // the image ran past its whole-transfer bound
        };
        Kind kind = Kind::None;
        // The packet it happened at: 0 the header block, 1 to blocks the data blocks in order,
        // blocks + 1 the end of transmission and closing block; -1 before any packet.
        int block = -1;
        int blocks = 0;     // data blocks of the image
        qint64 boundMs = 0; // the image's whole-transfer bound

        // A stable code for scripts (lumetra-flash's JSON "reason"), such as "meter-nak".
        QLatin1String code() const;
        // What the meter did and where, in plain words for a person: "the meter refused block 3
        // of 40 ten times". The code and the protocol trace keep the protocol's terms.
        QString describe() const;
    };

    // One control-byte wait once the workflow has attached its link, and before.
    static constexpr int attachedAckTimeoutMs = 3000;
    static constexpr int unattachedAckTimeoutMs = 1000;

    // The flasher's time limits, in milliseconds. The programs keep the defaults; tests shorten
    // them.
    struct Timing
    {
        // The product query's read limit; the update workflow's, not used by the flasher itself.
        int queryTimeoutMs = 3000;
        // One control-byte wait once a link is attached (unattachedAckTimeoutMs before).
        int ackTimeoutMs = attachedAckTimeoutMs;
        // One wait for incoming bytes inside a control-byte wait.
        int ackPollMs = 700;
        // The line read just before "D" (the link's read limit while the flasher holds it).
        int replyLineTimeoutMs = BootloaderProtocol::lineLimitMs;
        // The wait for the answer to the end of transmission. A meter answers within a few ms;
        // a loaded computer reads late, so this is well past that, and it is paid once per image
        // by a meter that stays silent.
        int eotAnswerMs = 200;
        // Quiet on the line before the end of transmission and before the closing block: what
        // arrives meanwhile is a late answer to an earlier packet and is dropped.
        int quietGapMs = 50;
        // The whole-transfer bound of one image, from its header block to its end: this much, plus
        // transferPerBlockMs per data block. A healthy meter takes a few ms a block.
        int transferBaseMs = 60000;
        int transferPerBlockMs = 500;
    };

    explicit FirmwareFlasher(QObject *parent = nullptr);

    void attachLink(SerialLink *link);
    bool flashImage(const QByteArray &image, const QString &fileName);
    FlashFailure lastFailure() const { return failure; }

    // Takes effect at once, the ACK limit too when a link is attached.
    void setTiming(const Timing &timing);
    const Timing &timing() const { return limits; }
    // The limit of one control-byte wait now.
    int currentAckTimeoutMs() const { return ackTimeoutMs; }

    // The trimmed answer to the latest product query, which the update workflow keeps here.
    QString productReply() const { return deviceReply; }
    void setProductReply(const QString &reply) { deviceReply = reply; }

    // Share of the image sent, 0 to 100, in 64-bit arithmetic so images of any size are safe.
    static int progressPercent(qint64 bytesSent, qint64 imageSize);
    // Kept for callers that check a name before they have a flasher: the rule is the protocol's.
    static QString headerNameProblem(const QString &fileName, qint64 imageSize)
    {
        return BootloaderProtocol::headerNameProblem(fileName, imageSize);
    }
    // The bound of one image of imageSize bytes with the current timing.
    qint64 transferBoundMs(qint64 imageSize) const;

    // Sends of one packet beyond the first, NAKs and time-outs together.
    static constexpr int maxResends = 10;
    // This many waits in a row without a single byte mean the meter has stopped listening; more
    // resends would only take longer to say so.
    static constexpr int maxSilentWaits = 3;
    static constexpr int cancelBytesToAbort = 2;
    // The two CANs of an abort leave the meter together; a CAN followed by nothing for this long
    // is a lone one. The wait for the partner may run this far past ackTimeoutMs, so a pair is
    // never taken for a lone CAN and answered with a resend the meter would read as commands.
    static constexpr int cancelPairGapMs = 100;
    static constexpr int pollPauseMs = 2;

signals:
    void progress_update(int percent_complete);
    // The same moment as progress_update, in bytes: for a caller that shows counts and rates.
    void bytesSentChanged(qint64 bytesSent, qint64 imageSize);

private:
    // How writing a packet or a control byte ended.
    enum class WriteResult {
        Written,
        Cancelled, // the meter had sent CAN CAN: nothing was written
        Failed     // the link could not be held, or the port failed
    };

    void resetTransfer(qint64 imageSize);
    // Puts the bootloader into download mode: hold the link, read what it announces, send "D".
    bool enterDownloadMode();
    // Sends block 0 with the name and size, then awaits its ACK and the meter's "C".
    bool sendHeader(const QString &fileName, qint64 imageSize);
    bool sendDataBlock(const QByteArray &image);
    // The end of transmission until it is answered or goes unanswered, then, unless the meter
    // ACKed it, the closing block.
    bool sendEnd(int blocks);
    // Drops input until the line has been quiet for quietGapMs (within the transfer's bound).
    ControlWait awaitQuiet();
    // What the packet just sent was, for judging its answer.
    enum class Answering { Header, Packet, End };
    // The meter's answer to the packet just sent: Received for an ACK (for the header a "C" too),
    // Rejected for a NAK, a lone CAN or, after a packet, noise. After the end of transmission
    // the wait is eotAnswerMs and noise is ignored: TimedOut means the meter took it silently.
    ControlWait awaitAnswer(Answering packet);
    void reportProgress(qint64 imageSize);
    // Sends the packet until the meter acknowledges it, within the resend budget.
    bool sendConfirmed(const QByteArray &packet, int block, Answering answering);
    // Writes bytes to the meter under a hold, after the pause and after discarding the input that
    // waits.
    WriteResult writeFresh(const QByteArray &bytes);
    // The handshake after the header: waits for the byte, ignoring any other.
    ControlWait waitForControlByte(quint8 target);
    void noteControlByte(quint8 byte);
    // How one poll for a byte within a wait ended.
    enum class Poll {
        Byte,      // a byte came
        Nothing,   // none yet; the wait goes on
        Expired,   // the wait's deadline passed
        OutOfTime, // the transfer's bound passed
        Failed     // the port failed
    };
    // A wait's deadline: its own limit, never past the transfer's bound.
    QDeadlineTimer waitDeadline(int limitMs) const;
    Poll pollByte(const QDeadlineTimer &deadline, quint8 &byte);
    // How a wait ends on a poll that brought no byte.
    static ControlWait endOfWait(Poll poll);
    // Ends the transfer after a wait that ended other than with the packet taken.
    bool failAnswer(ControlWait answer, int block);
    bool fail(FlashFailure::Kind kind, int block);
    // A write or wait that ended on the link: the port failed, or it could not be held.
    bool failOnLink(int block);
    bool failWrite(WriteResult result, int block);
    // Ends the transfer after a wait of the header handshake that did not get its byte.
    bool failHandshake(ControlWait reply, FlashFailure::Kind unanswered);

    // The link in use; not owned (the window's or the program's own).
    SerialLink *link = nullptr;
    Timing limits;
    int ackTimeoutMs = unattachedAckTimeoutMs;
    QString deviceReply;

    // The transfer under way: the number of the block being sent (0 to 255), the image bytes put
    // into data blocks so far, and the control bytes seen since the flags were last cleared.
    int blockNumber = 0;
    qint64 bytesSent = 0;
    bool crcRequestSeen = false;
    bool ackSeen = false;
    int cancelsInRow = 0;
    int silentWaitsInRow = 0;
    QDeadlineTimer transferDeadline;
    FlashFailure failure;
};
