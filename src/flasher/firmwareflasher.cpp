// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "firmwareflasher.h"

#include "seriallink.h"

#include <QDeadlineTimer>
#include <QThread>

#include <array>

namespace {

constexpr quint16 crcPolynomial = 0x1021;
// The header block's payload holds the name, a NUL, the size in decimal digits and a NUL.
constexpr int headerPayloadBytes = 128;
constexpr int headerSeparators = 2;
constexpr char16_t firstPrintable = u' ';
constexpr char16_t lastPrintable = u'~';

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
    return fileName.size() + digits + headerSeparators <= headerPayloadBytes;
}

QString FirmwareFlasher::headerNameProblem(const QString &fileName, qint64 imageSize)
{
    if (fileName.isEmpty())
        return QStringLiteral("would be empty");
    for (const QChar character : fileName) {
        if (character.unicode() < firstPrintable || character.unicode() > lastPrintable)
            return QStringLiteral("must be printable ASCII");
    }
    if (!headerFits(fileName, imageSize))
        return QStringLiteral("is too long for the header block: at most %1 characters with an "
                              "image of %2 bytes")
            .arg(headerPayloadBytes - headerSeparators - QByteArray::number(imageSize).size())
            .arg(imageSize);
    return QString();
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
    cancelsInRow = 0;
    silentWaitsInRow = 0;
    bytesSent = 0;
    transferComplete = false;
    failure = FlashFailure();
}

int FirmwareFlasher::blockCount() const
{
    return int((image.size() + blockSize - 1) / blockSize);
}

bool FirmwareFlasher::fail(FlashFailure::Kind kind, int block)
{
    failure.kind = kind;
    failure.block = block;
    return false;
}

bool FirmwareFlasher::failOnLink(int block)
{
    return fail(link->failed() ? FlashFailure::Kind::MeterUnplugged
                               : FlashFailure::Kind::PortUnavailable,
                block);
}

bool FirmwareFlasher::failWrite(WriteResult result, int block)
{
    if (result == WriteResult::Cancelled)
        return fail(FlashFailure::Kind::MeterCancelled, block);
    return failOnLink(block);
}

bool FirmwareFlasher::failHandshake(ControlWait reply, FlashFailure::Kind unanswered)
{
    if (reply == ControlWait::Cancelled)
        return fail(FlashFailure::Kind::MeterCancelled, 0);
    if (reply == ControlWait::PortFailed)
        return fail(FlashFailure::Kind::MeterUnplugged, 0);
    return fail(unanswered, 0);
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
    image = newImage;
    failure.blocks = blockCount();
    // A name that cannot travel whole would reach the device cut, mangled or with a forged size
    // field: refuse it before the device is put into download mode.
    if (!headerNameProblem(fileName, newImage.size()).isEmpty())
        return fail(FlashFailure::Kind::BadName, -1);
    if (!link)
        return fail(FlashFailure::Kind::PortUnavailable, -1);

    // This hold is deliberately kept: the update workflow's final releases close the port.
    if (!link->acquire(replyLineTimeoutMs, QString()))
        return failOnLink(-1);
    link->drainInput();
    link->readReply(1); // whatever the bootloader announces before "D" carries nothing we need
    if (!link->writeAndWait(QByteArray(1, downloadCommand)))
        return failOnLink(-1);

    dataBlock = headerPayload(fileName, newImage.size());
    setCrcOfDataBlock();
    crcRequestSeen = false;
    ackSeen = false;
    if (const WriteResult written = sendPacket(); written != WriteResult::Written)
        return failWrite(written, 0);
    if (const ControlWait reply = waitForControlByte(ack); reply != ControlWait::Received)
        return failHandshake(reply, FlashFailure::Kind::Unconfirmed);
    // The device may send its "C" before the header ACK; the flag it set ends this wait at once.
    if (const ControlWait reply = waitForControlByte(crcRequest); reply != ControlWait::Received)
        return failHandshake(reply, FlashFailure::Kind::NoCrcRequest);

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
        return sendConfirmed(int((bytesSent + blockSize - 1) / blockSize));
    }

    // The end of transmission is followed at once by the closing block, whose ACK confirms both;
    // only the closing block is sent again, as the meter that took the end waits for it.
    const int end = blockCount() + 1;
    if (const WriteResult written = writeFresh(QByteArray(1, char(eot)));
        written != WriteResult::Written)
        return failWrite(written, end);
    blockNumber = 0;
    blockNumberComplement = 255;
    dataBlock = QByteArray(blockSize, '\0');
    crcBytes = QByteArray(2, '\0');
    if (!sendConfirmed(end))
        return false;
    transferComplete = true;
    return true;
}

bool FirmwareFlasher::sendConfirmed(int block)
{
    for (int sends = 0; sends <= maxResends; ++sends) {
        ackSeen = false;
        if (const WriteResult written = sendPacket(); written != WriteResult::Written)
            return failWrite(written, block);
        switch (awaitAnswer()) {
        case ControlWait::Received:
            silentWaitsInRow = 0;
            return true;
        case ControlWait::Rejected:
            silentWaitsInRow = 0;
            break;
        case ControlWait::TimedOut:
            if (++silentWaitsInRow >= maxSilentWaits)
                return fail(FlashFailure::Kind::MeterSilent, block);
            break;
        case ControlWait::Cancelled:
            return fail(FlashFailure::Kind::MeterCancelled, block);
        case ControlWait::PortFailed:
            return fail(FlashFailure::Kind::MeterUnplugged, block);
        }
    }
    return fail(FlashFailure::Kind::Unconfirmed, block);
}

FirmwareFlasher::WriteResult FirmwareFlasher::sendPacket()
{
    QByteArray packet;
    packet.reserve(packetSize);
    packet.append(char(headerByte));
    packet.append(char(blockNumber));
    packet.append(char(blockNumberComplement));
    packet.append(dataBlock);
    packet.append(crcBytes);
    return writeFresh(packet);
}

FirmwareFlasher::WriteResult FirmwareFlasher::writeFresh(const QByteArray &bytes)
{
    if (!link->acquire(SerialLink::packetHoldReadTimeoutMs, QString()))
        return WriteResult::Failed;
    QThread::msleep(SerialLink::writePauseMs);
    // A late ACK of an earlier packet, or noise, must not be read as the answer to this one. An
    // abort is another matter: past CAN CAN the meter reads every byte as a command, so nothing
    // more may go out, and a CAN at the very end may be the first of a pair still on its way.
    const QByteArray stale = link->discardInput();
    cancelsInRow = stale.endsWith(char(cancel)) ? 1 : 0;
    const bool aborted = stale.contains(QByteArray(cancelBytesToAbort, char(cancel)));
    const bool written = !aborted && link->writeAndWait(bytes);
    link->release();
    if (aborted)
        return WriteResult::Cancelled;
    return written ? WriteResult::Written : WriteResult::Failed;
}

void FirmwareFlasher::noteControlByte(quint8 byte)
{
    // Both flags are set by whichever byte arrives, whatever is awaited: a "C" that overtakes the
    // header ACK must still count for the "C" wait that follows.
    if (byte == crcRequest)
        crcRequestSeen = true;
    else if (byte == ack)
        ackSeen = true;
    cancelsInRow = byte == cancel ? cancelsInRow + 1 : 0;
}

FirmwareFlasher::ControlWait FirmwareFlasher::waitForControlByte(quint8 target)
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
        if (targetSeen)
            return ControlWait::Received;
        if (deadline.hasExpired())
            return ControlWait::TimedOut;
    }
}

FirmwareFlasher::ControlWait FirmwareFlasher::awaitAnswer()
{
    QDeadlineTimer deadline(ackTimeoutMs);
    bool heard = false;
    for (;;) {
        QThread::msleep(pollPauseMs);
        const qint64 left = qMax<qint64>(0, deadline.remainingTime());
        const SerialLink::InputWait input = link->waitForInput(int(qMin<qint64>(ackPollMs, left)));
        if (input == SerialLink::InputWait::Failed)
            return ControlWait::PortFailed;
        const QByteArray byte =
            input == SerialLink::InputWait::Ready ? link->read(1) : QByteArray();
        if (!byte.isEmpty()) {
            heard = true;
            const bool cancelPending = cancelsInRow > 0;
            noteControlByte(quint8(byte.at(0)));
            if (cancelsInRow >= cancelBytesToAbort)
                return ControlWait::Cancelled;
            // A lone CAN is a refusal like a NAK; only its partner may still turn it into an abort.
            if (cancelPending)
                return ControlWait::Rejected;
            if (cancelsInRow > 0) {
                deadline.setRemainingTime(cancelPairGapMs);
                continue;
            }
            if (ackSeen)
                return ControlWait::Received;
            if (quint8(byte.at(0)) == nak)
                return ControlWait::Rejected;
            // Anything else is noise: the ACK may still follow it.
        }
        if (deadline.hasExpired())
            return heard ? ControlWait::Rejected : ControlWait::TimedOut;
    }
}
