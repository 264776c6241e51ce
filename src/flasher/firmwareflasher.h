// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class SerialLink;

// Writes one firmware image into the meter's bootloader over an attached SerialLink: the download
// command "D", then a YMODEM-style batch of 133-byte CRC-16 packets (header block 0 with name and
// size, numbered data blocks, end of transmission and a closing null block 0).
//
// Every data block and the closing block counts only once the meter has acknowledged it: a packet
// without an ACK is sent again, byte for byte, within a budget of resends, and the image fails
// when the budget runs out. Whatever input waits when a packet is about to go out is discarded
// first, so an ACK is always the meter's answer to the packet just sent.
//
// The flasher does not own the link; the window that owns both binds them with attachLink.
class FirmwareFlasher : public QObject
{
    Q_OBJECT

public:
    // How one wait for a control byte from the device ended.
    enum class ControlWait {
        Received,  // the awaited byte came (now or earlier)
        TimedOut,  // ackTimeoutMs passed without a single byte from the device
        Rejected,  // answered, but not with an ACK: a NAK, a lone CAN or other bytes
        Cancelled, // the device sent two CAN bytes in a row
        PortFailed // the port failed: the device is gone
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
            MeterCancelled   // the meter sent CAN CAN
        };
        Kind kind = Kind::None;
        // The packet it happened at: 0 the header block, 1 to blocks the data blocks in order,
        // blocks + 1 the end of transmission and closing block; -1 before any packet.
        int block = -1;
        int blocks = 0; // data blocks of the image

        // A stable code for scripts (lumetra-flash's JSON "reason"), such as "meter-nak".
        QLatin1String code() const;
        // Where the transfer stopped and what the meter did, for a person: "block 5 of 40: the
        // meter cancelled the transfer".
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
        int replyLineTimeoutMs = 6000;
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

    // CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final XOR).
    static quint16 crc16(const QByteArray &data);
    // Share of the image sent, 0 to 100, in 64-bit arithmetic so images of any size are safe.
    static int progressPercent(qint64 bytesSent, qint64 imageSize);
    // The header block must hold the name, the decimal size and two NULs within one block.
    static bool headerFits(const QString &fileName, qint64 imageSize);
    // Why the name cannot travel in the header block with an image of imageSize bytes, as the end
    // of a sentence about the name ("must be printable ASCII"); empty when it can. The meter gets
    // one byte per character: a NUL would end the name early and forge the size field, other
    // characters would be mangled, and an empty name reads as the end of the batch.
    static QString headerNameProblem(const QString &fileName, qint64 imageSize);
    // Payload of header block 0: name (low byte of each UTF-16 unit), NUL, size digits, NUL, zeros.
    static QByteArray headerPayload(const QString &fileName, qint64 imageSize);
    // Data blocks of an image of imageSize bytes.
    static int blockCount(qint64 imageSize);

    // The line's vocabulary. Every packet is headerByte, the block number, its complement to 255,
    // blockSize payload bytes and the payload's CRC, high byte first.
    static constexpr quint8 soh = 0x01;
    static constexpr quint8 eot = 0x04;
    static constexpr quint8 ack = 0x06;
    static constexpr quint8 crcRequest = 0x43; // "C"
    // Answers a well-behaved bootloader never sends: a NAK or a lone CAN makes the packet go
    // again, CAN CAN aborts.
    static constexpr quint8 nak = 0x15;
    static constexpr quint8 cancel = 0x18;
    static constexpr char downloadCommand = 'D';
    static constexpr quint8 headerByte = soh;
    static constexpr int blockSize = 128;
    static constexpr int crcSize = 2;
    static constexpr int packetOverhead = 3; // header byte, block number, complement
    static constexpr int packetSize = packetOverhead + blockSize + crcSize;
    // Block numbers count 1 to 255, then wrap to 0.
    static constexpr int lastBlockNumber = 255;

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
    // The end of transmission, then the closing block.
    bool sendEnd(int blocks);
    void reportProgress(qint64 imageSize);
    // Sends the packet until the meter acknowledges it, within the resend budget.
    bool sendConfirmed(const QByteArray &packet, int block);
    // Writes bytes to the meter under a hold, after the pause and after discarding the input that
    // waits.
    WriteResult writeFresh(const QByteArray &bytes);
    // The handshake after the header: waits for the byte, ignoring any other.
    ControlWait waitForControlByte(quint8 target);
    // The meter's answer to the data or closing packet just sent.
    ControlWait awaitAnswer();
    void noteControlByte(quint8 byte);
    bool fail(FlashFailure::Kind kind, int block);
    // A write or wait that ended on the link: the port failed, or it could not be held.
    bool failOnLink(int block);
    bool failWrite(WriteResult result, int block);
    // Ends the transfer after a wait of the header handshake that did not get its byte.
    bool failHandshake(ControlWait reply, FlashFailure::Kind unanswered);

    static QByteArray packet(int blockNumber, const QByteArray &payload);

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
    FlashFailure failure;
};
