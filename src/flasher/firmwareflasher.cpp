// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "firmwareflasher.h"

#include "seriallink.h"

#include <QDeadlineTimer>
#include <QThread>

#include <array>

namespace {

constexpr quint16 crcPolynomial = 0x1021;

constexpr std::array<quint16, 256> makeCrcTable()
{
    std::array<quint16, 256> table{};
    for (int index = 0; index < 256; ++index) {
        quint16 crc = quint16(index << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ crcPolynomial) : quint16(crc << 1);
        table[index] = crc;
    }
    return table;
}

constexpr std::array<quint16, 256> crcTable = makeCrcTable();

} // namespace

FirmwareFlasher::FirmwareFlasher(QObject *parent) : QObject(parent) {}

void FirmwareFlasher::attachLink(SerialLink *newLink)
{
    link = newLink;
    ackTimeoutMs = attachedAckTimeoutMs;
    bytesSent = 0;
    blockNumber = 0;
    crcRequestSeen = false;
    ackSeen = false;
}

quint16 FirmwareFlasher::crc16(const QByteArray &data)
{
    quint16 crc = 0;
    for (const char byte : data)
        crc = crcTable[((crc >> 8) ^ quint8(byte)) & 0xFF] ^ quint16(crc << 8);
    return crc;
}

int FirmwareFlasher::progressPercent(qint64 sent, qint64 imageSize)
{
    if (imageSize <= 0)
        return 0;
    return int(sent * 100 / imageSize);
}

bool FirmwareFlasher::headerFits(const QString &fileName, qint64 imageSize)
{
    const qsizetype digits = QByteArray::number(imageSize).size();
    return fileName.size() + digits + 2 <= 128;
}

QByteArray FirmwareFlasher::headerPayload(const QString &fileName, qint64 imageSize)
{
    QByteArray payload;
    payload.reserve(128);
    // The bootloader stores names as bytes; the low byte of each UTF-16 unit is what it has always
    // been sent, so the device's view of existing names does not change.
    for (const QChar unit : fileName)
        payload.append(char(unit.unicode() & 0xFF));
    payload.append('\0');
    payload.append(QByteArray::number(imageSize));
    payload.append('\0');
    payload.append(QByteArray(qMax<qsizetype>(0, 128 - payload.size()), '\0'));
    return payload;
}

void FirmwareFlasher::resetTransfer()
{
    blockNumber = 0;
    blockNumberComplement = 255;
    crcRequestSeen = false;
    ackSeen = false;
    nakSeen = false;
    cancelsInRow = 0;
    unansweredInRow = 0;
    bytesSent = 0;
    transferComplete = false;
}

bool FirmwareFlasher::deviceStillAnswers(ControlWait reply)
{
    if (reply == ControlWait::Received)
        unansweredInRow = 0;
    else if (reply == ControlWait::TimedOut)
        ++unansweredInRow;
    return unansweredInRow < maxUnansweredPackets;
}

void FirmwareFlasher::setCrcOfDataBlock()
{
    const quint16 crc = crc16(dataBlock);
    crcBytes = QByteArray(2, '\0');
    crcBytes[0] = char(crc >> 8);
    crcBytes[1] = char(crc & 0xFF);
}

bool FirmwareFlasher::flashImage(const QByteArray &newImage, const QString &fileName)
{
    resetTransfer();
    // A name that cannot travel whole would reach the device cut or overrun the block: refuse it
    // before the device is put into download mode.
    if (!link || !headerFits(fileName, newImage.size()))
        return false;

    // This hold is deliberately kept: the update workflow's final releases close the port.
    if (!link->acquire(replyLineTimeoutMs, QString()))
        return false;
    link->drainInput();
    link->readReply(1); // whatever the bootloader announces before "D" carries nothing we need
    if (!link->writeAndWait(QByteArray(1, downloadCommand)))
        return false;

    dataBlock = headerPayload(fileName, newImage.size());
    setCrcOfDataBlock();
    crcRequestSeen = false;
    ackSeen = false;
    sendPacket();
    if (waitForControlByte(ack) != ControlWait::Received)
        return false;
    // The device may send its "C" before the header ACK; the flag it set ends this wait at once.
    if (waitForControlByte(crcRequest) != ControlWait::Received)
        return false;

    image = newImage;
    transferComplete = false;
    for (;;) {
        emit progress_update(progressPercent(bytesSent, image.size()));
        if (!sendNextBlock())
            return false;
        if (transferComplete)
            return true;
    }
}

bool FirmwareFlasher::sendNextBlock()
{
    const qint64 chunk = qMin<qint64>(image.size() - bytesSent, blockSize);
    if (chunk >= 1) {
        dataBlock = image.mid(bytesSent, chunk);
        dataBlock.append(QByteArray(blockSize - chunk, '\0'));
        bytesSent += chunk;
        blockNumber = blockNumber + 1 > 255 ? 0 : blockNumber + 1;
        blockNumberComplement = 255 - blockNumber;
        setCrcOfDataBlock();

        for (int retries = 0;; ++retries) {
            ackSeen = false;
            nakSeen = false;
            const bool held = sendPacket();
            // A missing ACK is not a failure by itself: the device may be busy writing flash and
            // catch up. An explicit refusal, a cancel, a dead port or a device that has stopped
            // answering altogether stop the transfer.
            const ControlWait reply = waitForControlByte(ack, true);
            if (reply == ControlWait::Rejected && retries < maxBlockRetries)
                continue;
            if (reply == ControlWait::Rejected || reply == ControlWait::Cancelled ||
                reply == ControlWait::PortFailed || !deviceStillAnswers(reply))
                return false;
            return held;
        }
    }

    if (!link->sendBytes(QByteArray(1, char(eot))))
        return false;
    blockNumber = 0;
    blockNumberComplement = 255;
    dataBlock = QByteArray(blockSize, '\0');
    crcBytes = QByteArray(2, '\0');
    ackSeen = false;
    if (!sendPacket())
        return false;
    const ControlWait reply = waitForControlByte(ack);
    if (reply == ControlWait::Cancelled || reply == ControlWait::PortFailed ||
        !deviceStillAnswers(reply))
        return false;
    transferComplete = true;
    return true;
}

bool FirmwareFlasher::sendPacket()
{
    QByteArray packet;
    packet.reserve(packetSize);
    packet.append(char(headerByte));
    packet.append(char(blockNumber));
    packet.append(char(blockNumberComplement));
    packet.append(dataBlock);
    packet.append(crcBytes);

    if (!link->acquire(SerialLink::packetHoldReadTimeoutMs, QString()))
        return false;
    QThread::msleep(SerialLink::writePauseMs);
    const bool written = link->writeAndWait(packet);
    link->release();
    return written;
}

void FirmwareFlasher::noteControlByte(quint8 byte)
{
    // Both flags are set by whichever byte arrives, whatever is awaited: a "C" that overtakes the
    // header ACK must still count for the "C" wait that follows.
    if (byte == crcRequest)
        crcRequestSeen = true;
    else if (byte == ack)
        ackSeen = true;
    else if (byte == nak)
        nakSeen = true;
    cancelsInRow = byte == cancel ? cancelsInRow + 1 : 0;
}

FirmwareFlasher::ControlWait FirmwareFlasher::waitForControlByte(quint8 target, bool nakEndsWait)
{
    const bool &targetSeen = target == crcRequest ? crcRequestSeen : ackSeen;
    // A poll never runs past the wait's own limit, so one wait is ackTimeoutMs, not that plus a
    // poll; and a device that keeps sending other bytes cannot stretch it either.
    const QDeadlineTimer deadline(ackTimeoutMs);
    for (;;) {
        if (targetSeen)
            return ControlWait::Received;
        QThread::msleep(pollPauseMs);
        const qint64 left = qMax<qint64>(0, deadline.remainingTime());
        const SerialLink::InputWait input = link->waitForInput(int(qMin<qint64>(ackPollMs, left)));
        if (input == SerialLink::InputWait::Failed)
            return ControlWait::PortFailed;
        if (input == SerialLink::InputWait::Ready) {
            const QByteArray byte = link->read(1);
            if (!byte.isEmpty())
                noteControlByte(quint8(byte.at(0)));
        }
        if (cancelsInRow >= cancelBytesToAbort)
            return ControlWait::Cancelled;
        if (nakEndsWait && nakSeen)
            return ControlWait::Rejected;
        if (targetSeen)
            return ControlWait::Received;
        if (deadline.hasExpired())
            return ControlWait::TimedOut;
    }
}
