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
// The flasher does not own the link; the window that owns both binds them with attachLink.
class FirmwareFlasher : public QObject
{
    Q_OBJECT

public:
    // How one wait for a control byte from the device ended.
    enum class ControlWait {
        Received,  // the awaited byte came (now or earlier)
        TimedOut,  // ackTimeoutMs passed without it
        Rejected,  // the device answered a data block with NAK
        Cancelled, // the device sent two CAN bytes in a row
        PortFailed // the port failed: the device is gone
    };

    explicit FirmwareFlasher(QObject *parent = nullptr);

    void attachLink(SerialLink *link);
    bool flashImage(const QByteArray &image, const QString &fileName);

    // CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final XOR).
    static quint16 crc16(const QByteArray &data);
    // Share of the image sent, 0 to 100, in 64-bit arithmetic so images of any size are safe.
    static int progressPercent(qint64 bytesSent, qint64 imageSize);
    // The header block must hold the name, the decimal size and two NULs within one block.
    static bool headerFits(const QString &fileName, qint64 imageSize);
    // Payload of header block 0: name (low byte of each UTF-16 unit), NUL, size digits, NUL, zeros.
    static QByteArray headerPayload(const QString &fileName, qint64 imageSize);

    SerialLink *link = nullptr;
    static constexpr quint8 soh = 0x01;
    static constexpr quint8 eot = 0x04;
    static constexpr quint8 ack = 0x06;
    static constexpr quint8 crcRequest = 0x43; // "C"
    int queryTimeoutMs = 3000;
    int ackPollMs = 700;
    int headerByte = soh;
    int blockSize = 128;
    int blockNumber = 0;
    int blockNumberComplement = 255;
    QByteArray dataBlock = QByteArray(128, '\0');
    QByteArray crcBytes = QByteArray(2, '\0');
    QByteArray image;
    bool crcRequestSeen = false;
    bool ackSeen = false;
    bool transferComplete = false;
    qint64 bytesSent = 0;
    int ackTimeoutMs = 1000;
    QString deviceReply;

    // Answers a well-behaved bootloader never sends, handled so a device that does is not
    // misreported: a NAK makes the block go again (a bounded number of times), CAN CAN aborts.
    static constexpr quint8 nak = 0x15;
    static constexpr quint8 cancel = 0x18;
    static constexpr char downloadCommand = 'D';
    static constexpr int maxBlockRetries = 10;
    // A single late or lost ACK is tolerated; this many packets in a row without one mean the
    // device has stopped listening, and going on would only report a half-written image as done.
    static constexpr int maxUnansweredPackets = 3;
    static constexpr int cancelBytesToAbort = 2;
    static constexpr int attachedAckTimeoutMs = 3000;
    static constexpr int pollPauseMs = 2;
    static constexpr int packetSize = 133;
    // Limit of the line read just before "D" (the link's read limit while the flasher holds it).
    int replyLineTimeoutMs = 6000;
    bool nakSeen = false;
    int cancelsInRow = 0;
    int unansweredInRow = 0;

signals:
    void progress_update(int percent_complete);

private:
    void resetTransfer();
    bool sendPacket();
    bool sendNextBlock();
    ControlWait waitForControlByte(quint8 target, bool nakEndsWait = false);
    void noteControlByte(quint8 byte);
    void setCrcOfDataBlock();
    // Counts a packet's ACK wait; false once too many packets in a row went unanswered.
    bool deviceStillAnswers(ControlWait reply);
};
