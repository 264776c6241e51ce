// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QByteArray>
#include <QLatin1String>
#include <QString>

// The meter bootloader's language, in one place: its one-byte commands, the control bytes it
// answers with, the layout of a 133-byte packet, what the header block may carry, the product
// marker of a compatible meter and how long it may take to say anything before "D". The flasher,
// the meter session, the status texts and the protocol trace all ask here, so a bootloader that
// speaks a variant of this changes this class alone.
//
// A value without state: everything is a constant or a pure function of its arguments.
class BootloaderProtocol
{
public:
    // Commands the program sends outside a transfer, one byte each.
    static constexpr char productQuery = 'P';
    static constexpr char downloadCommand = 'D';
    static constexpr char closingCommand = 'R';

    // Bytes of a transfer.
    static constexpr quint8 soh = 0x01; // the first byte of every packet
    static constexpr quint8 eot = 0x04; // end of transmission
    static constexpr quint8 ack = 0x06;
    static constexpr quint8 nak = 0x15;
    static constexpr quint8 cancel = 0x18;     // CAN; two in a row abort the transfer
    static constexpr quint8 crcRequest = 0x43; // "C": ready for CRC-16 packets

    // Every packet is soh, the block number, its complement to 255, blockSize payload bytes and
    // the payload's CRC-16/XMODEM, high byte first.
    static constexpr int blockSize = 128;
    static constexpr int numberOffset = 1;
    static constexpr int complementOffset = 2;
    static constexpr int payloadOffset = 3;
    static constexpr int crcSize = 2;
    static constexpr int packetSize = payloadOffset + blockSize + crcSize;
    // Block numbers count 1 to 255, then wrap to 0.
    static constexpr int lastBlockNumber = 255;

    // What a compatible meter's answer to the product query contains (case-sensitive).
    static constexpr QLatin1String productMarker{"DOVUr3"};
    // The longest a meter may take to say anything before "D": the read limit of the line it may
    // announce, and of the port while the program holds it.
    static constexpr int lineLimitMs = 6000;

    // CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final XOR).
    static quint16 crc16(const QByteArray &data);
    // One packet on the wire: payload must be blockSize bytes.
    static QByteArray packet(int blockNumber, const QByteArray &payload);
    // The closing null block that ends a batch: block 0 with an empty payload.
    static QByteArray closingPacket();
    // Data blocks of an image of imageSize bytes.
    static int blockCount(qint64 imageSize);
    // The number data block `ordinal` (from 1) travels under.
    static int blockNumber(qint64 ordinal);
    // Whether the closing block looks exactly like the next data block would: the image's last
    // data block is number 255, so the closing block 0 with its zero payload could be taken for
    // data block 256 by a meter that missed the end of transmission.
    static bool closingLooksLikeData(qint64 imageSize);

    // Payload of header block 0: name (low byte of each UTF-16 unit), NUL, size digits, NUL, zeros.
    static QByteArray headerPayload(const QString &fileName, qint64 imageSize);
    // Why the name cannot travel in the header block with an image of imageSize bytes, as the end
    // of a sentence about the name ("must be printable ASCII"); empty when it can. The meter gets
    // one byte per character: a NUL would end the name early and forge the size field, other
    // characters would be mangled, and an empty name reads as the end of the batch. The header
    // must hold the name, the decimal size and two NULs within one block.
    static QString headerNameProblem(const QString &fileName, qint64 imageSize);

    // Whether a product reply names a meter this program may update.
    static bool isCompatible(const QString &productReply);

    // A packet as the trace shows it: its block number and payload; number -1 when the bytes are
    // not one packet.
    struct Packet
    {
        int number = -1;
        QByteArray payload;
    };
    static Packet parsePacket(const QByteArray &bytes);
    // The name and size digits a header payload carries.
    static QByteArray headerName(const QByteArray &payload);
    static QByteArray headerSize(const QByteArray &payload);
    // The name of a control or command byte for a protocol trace ("ACK", "NAK", "EOT", "C");
    // empty for a byte with no name.
    static QString byteName(quint8 byte);
};
