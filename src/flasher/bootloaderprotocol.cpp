// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "bootloaderprotocol.h"

#include <QList>

#include <array>

namespace {

constexpr quint16 crcPolynomial = 0x1021;
constexpr int crcTableSize = 256;
// The header block's payload holds the name, a NUL, the size in decimal digits and a NUL.
constexpr int headerSeparators = 2;
constexpr char16_t firstPrintable = u' ';
constexpr char16_t lastPrintable = u'~';
constexpr int blockNumbers = BootloaderProtocol::lastBlockNumber + 1;

constexpr std::array<quint16, crcTableSize> makeCrcTable()
{
    std::array<quint16, crcTableSize> table{};
    for (int index = 0; index < crcTableSize; ++index) {
        quint16 crc = quint16(index << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ crcPolynomial) : quint16(crc << 1);
        table[index] = crc;
    }
    return table;
}

constexpr std::array<quint16, crcTableSize> crcTable = makeCrcTable();

int sizeDigits(qint64 imageSize)
{
    return int(QByteArray::number(imageSize).size());
}

} // namespace

quint16 BootloaderProtocol::crc16(const QByteArray &data)
{
    quint16 crc = 0;
    for (const char byte : data)
        crc = crcTable[((crc >> 8) ^ quint8(byte)) & 0xFF] ^ quint16(crc << 8);
    return crc;
}

QByteArray BootloaderProtocol::packet(int number, const QByteArray &payload)
{
    const quint16 crc = crc16(payload);
    QByteArray bytes;
    bytes.reserve(packetSize);
    bytes.append(char(soh));
    bytes.append(char(number));
    bytes.append(char(lastBlockNumber - number));
    bytes.append(payload);
    bytes.append(char(crc >> 8));
    bytes.append(char(crc & 0xFF));
    return bytes;
}

QByteArray BootloaderProtocol::closingPacket()
{
    return packet(0, QByteArray(blockSize, '\0'));
}

int BootloaderProtocol::blockCount(qint64 imageSize)
{
    return int((imageSize + blockSize - 1) / blockSize);
}

int BootloaderProtocol::blockNumber(qint64 ordinal)
{
    return int(ordinal % blockNumbers);
}

bool BootloaderProtocol::closingLooksLikeData(qint64 imageSize)
{
    return blockNumber(blockCount(imageSize) + 1) == 0;
}

QByteArray BootloaderProtocol::headerPayload(const QString &fileName, qint64 imageSize)
{
    QByteArray payload;
    payload.reserve(blockSize);
    // The bootloader stores names as bytes; the low byte of each UTF-16 unit is what it has always
    // been sent, so the device's view of existing names does not change.
    for (const QChar unit : fileName)
        payload.append(char(unit.unicode() & 0xFF));
    payload.append('\0');
    payload.append(QByteArray::number(imageSize));
    payload.append('\0');
    payload.append(QByteArray(qMax<qsizetype>(0, blockSize - payload.size()), '\0'));
    return payload;
}

QString BootloaderProtocol::headerNameProblem(const QString &fileName, qint64 imageSize)
{
    if (fileName.isEmpty())
        return QStringLiteral("would be empty");
    for (const QChar character : fileName) {
        if (character.unicode() < firstPrintable || character.unicode() > lastPrintable)
            return QStringLiteral("must be printable ASCII");
    }
    const int longest = blockSize - headerSeparators - sizeDigits(imageSize);
    if (fileName.size() > longest)
        return QStringLiteral("is too long for the header block: at most %1 characters with an "
                              "image of %2 bytes")
            .arg(longest)
            .arg(imageSize);
    return QString();
}

bool BootloaderProtocol::isCompatible(const QString &productReply)
{
    return productReply.contains(productMarker);
}

BootloaderProtocol::Packet BootloaderProtocol::parsePacket(const QByteArray &bytes)
{
    if (bytes.size() != packetSize || quint8(bytes.at(0)) != soh)
        return {};
    return {quint8(bytes.at(numberOffset)), bytes.mid(payloadOffset, blockSize)};
}

QByteArray BootloaderProtocol::headerName(const QByteArray &payload)
{
    return payload.split('\0').value(0);
}

QByteArray BootloaderProtocol::headerSize(const QByteArray &payload)
{
    return payload.split('\0').value(1);
}

QString BootloaderProtocol::byteName(quint8 byte)
{
    switch (byte) {
    case ack:
        return QStringLiteral("ACK");
    case nak:
        return QStringLiteral("NAK");
    case cancel:
        return QStringLiteral("CAN");
    case crcRequest:
        return QStringLiteral("C");
    case eot:
        return QStringLiteral("EOT");
    default:
        return QString();
    }
}
