// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "firmwareflasher.h"

#include "reason.h"

#include "seriallink.h"

#include <QDeadlineTimer>
#include <QThread>

#include <array>

namespace {

constexpr quint16 crcPolynomial = 0x1021;
constexpr int crcTableSize = 256;
// The header block's payload holds the name, a NUL, the size in decimal digits and a NUL.
constexpr int headerSeparators = 2;
constexpr char16_t firstPrintable = u' ';
constexpr char16_t lastPrintable = u'~';

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

} // namespace

FirmwareFlasher::FirmwareFlasher(QObject *parent) : QObject(parent) {}

QLatin1String FirmwareFlasher::FlashFailure::code() const
{
    switch (kind) {
    case Kind::None:
        break;
    case Kind::BadName:
        return reasonCode(Reason::BadName);
    case Kind::PortUnavailable:
        return reasonCode(Reason::PortFailed);
    case Kind::MeterUnplugged:
        return reasonCode(Reason::MeterUnplugged);
    case Kind::Unconfirmed:
        // The header gets one wait, not resends: no ACK for it is silence, not refusal.
        return block == 0 ? reasonCode(Reason::MeterSilent) : reasonCode(Reason::MeterNak);
    case Kind::NoCrcRequest:
        return reasonCode(Reason::MeterNotReady);
    case Kind::MeterSilent:
        return reasonCode(Reason::MeterSilent);
    case Kind::MeterCancelled:
        return reasonCode(Reason::MeterCancelled);
    }
    return QLatin1String();
}

QString FirmwareFlasher::FlashFailure::describe() const
{
    QString where;
    if (block < 0)
        where = QStringLiteral("before the transfer");
    else if (block == 0)
        where = QStringLiteral("at the header block");
    else if (block > blocks)
        where = QStringLiteral("at the end of the transfer");
    else
        where = QStringLiteral("at block %1 of %2").arg(block).arg(blocks);

    switch (kind) {
    case Kind::None:
        break;
    case Kind::BadName:
        return QStringLiteral("the name cannot be sent to the meter");
    case Kind::PortUnavailable:
        return QStringLiteral("the port could not be written ") + where;
    case Kind::MeterUnplugged:
        return QStringLiteral("the meter was unplugged ") + where;
    case Kind::Unconfirmed:
        if (block == 0)
            return QStringLiteral("the meter never acknowledged the header block");
        return QStringLiteral("the meter NAKed every resend ") + where;
    case Kind::NoCrcRequest:
        return QStringLiteral("the meter acknowledged the header block but never asked for the "
                              "data");
    case Kind::MeterSilent:
        return QStringLiteral("the meter stopped answering ") + where;
    case Kind::MeterCancelled:
        return QStringLiteral("the meter cancelled the transfer ") + where;
    }
    return QString();
}

void FirmwareFlasher::attachLink(SerialLink *newLink)
{
    link = newLink;
    ackTimeoutMs = limits.ackTimeoutMs;
    bytesSent = 0;
    blockNumber = 0;
    crcRequestSeen = false;
    ackSeen = false;
}

void FirmwareFlasher::setTiming(const Timing &timing)
{
    limits = timing;
    if (link)
        ackTimeoutMs = limits.ackTimeoutMs;
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
    return fileName.size() + digits + headerSeparators <= blockSize;
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
            .arg(blockSize - headerSeparators - QByteArray::number(imageSize).size())
            .arg(imageSize);
    return QString();
}

QByteArray FirmwareFlasher::headerPayload(const QString &fileName, qint64 imageSize)
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

int FirmwareFlasher::blockCount(qint64 imageSize)
{
    return int((imageSize + blockSize - 1) / blockSize);
}

QByteArray FirmwareFlasher::packet(int number, const QByteArray &payload)
{
    const quint16 crc = crc16(payload);
    QByteArray bytes;
    bytes.reserve(packetSize);
    bytes.append(char(headerByte));
    bytes.append(char(number));
    bytes.append(char(lastBlockNumber - number));
    bytes.append(payload);
    bytes.append(char(crc >> 8));
    bytes.append(char(crc & 0xFF));
    return bytes;
}

void FirmwareFlasher::resetTransfer(qint64 imageSize)
{
    blockNumber = 0;
    crcRequestSeen = false;
    ackSeen = false;
    cancelsInRow = 0;
    silentWaitsInRow = 0;
    bytesSent = 0;
    failure = FlashFailure();
    failure.blocks = blockCount(imageSize);
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

bool FirmwareFlasher::flashImage(const QByteArray &image, const QString &fileName)
{
    resetTransfer(image.size());
    // A name that cannot travel whole would reach the device cut, mangled or with a forged size
    // field: refuse it before the device is put into download mode.
    if (!headerNameProblem(fileName, image.size()).isEmpty())
        return fail(FlashFailure::Kind::BadName, -1);
    if (!link)
        return fail(FlashFailure::Kind::PortUnavailable, -1);
    if (!enterDownloadMode() || !sendHeader(fileName, image.size()))
        return false;
    while (bytesSent < image.size()) {
        reportProgress(image.size());
        if (!sendDataBlock(image))
            return false;
    }
    reportProgress(image.size());
    return sendEnd(failure.blocks);
}

bool FirmwareFlasher::enterDownloadMode()
{
    // This hold is deliberately kept: the update workflow's final releases close the port.
    if (!link->acquire(limits.replyLineTimeoutMs, QString()))
        return failOnLink(-1);
    link->drainInput();
    link->readReply(1); // whatever the bootloader announces before "D" carries nothing we need
    if (!link->writeAndWait(QByteArray(1, downloadCommand)))
        return failOnLink(-1);
    return true;
}

bool FirmwareFlasher::sendHeader(const QString &fileName, qint64 imageSize)
{
    crcRequestSeen = false;
    ackSeen = false;
    if (const WriteResult written = writeFresh(packet(0, headerPayload(fileName, imageSize)));
        written != WriteResult::Written)
        return failWrite(written, 0);
    if (const ControlWait reply = waitForControlByte(ack); reply != ControlWait::Received)
        return failHandshake(reply, FlashFailure::Kind::Unconfirmed);
    // The device may send its "C" before the header ACK; the flag it set ends this wait at once.
    if (const ControlWait reply = waitForControlByte(crcRequest); reply != ControlWait::Received)
        return failHandshake(reply, FlashFailure::Kind::NoCrcRequest);
    return true;
}

void FirmwareFlasher::reportProgress(qint64 imageSize)
{
    emit progress_update(progressPercent(bytesSent, imageSize));
    emit bytesSentChanged(bytesSent, imageSize);
}

bool FirmwareFlasher::sendDataBlock(const QByteArray &image)
{
    const qint64 chunk = qMin<qint64>(image.size() - bytesSent, blockSize);
    QByteArray payload = image.mid(bytesSent, chunk);
    payload.append(QByteArray(blockSize - chunk, '\0')); // the last block is padded with zeros
    bytesSent += chunk;
    blockNumber = blockNumber + 1 > lastBlockNumber ? 0 : blockNumber + 1;
    return sendConfirmed(packet(blockNumber, payload), blockCount(bytesSent));
}

bool FirmwareFlasher::sendEnd(int blocks)
{
    // The end of transmission is followed at once by the closing block, whose ACK confirms both;
    // only the closing block is sent again, as the meter that took the end waits for it.
    const int end = blocks + 1;
    if (const WriteResult written = writeFresh(QByteArray(1, char(eot)));
        written != WriteResult::Written)
        return failWrite(written, end);
    blockNumber = 0;
    return sendConfirmed(packet(0, QByteArray(blockSize, '\0')), end);
}

bool FirmwareFlasher::sendConfirmed(const QByteArray &bytes, int block)
{
    for (int sends = 0; sends <= maxResends; ++sends) {
        ackSeen = false;
        if (const WriteResult written = writeFresh(bytes); written != WriteResult::Written)
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
        const SerialLink::InputWait input =
            link->waitForInput(int(qMin<qint64>(limits.ackPollMs, left)));
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
        const SerialLink::InputWait input =
            link->waitForInput(int(qMin<qint64>(limits.ackPollMs, left)));
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
