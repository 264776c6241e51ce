// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "firmwareflasher.h"

#include "reason.h"

#include "seriallink.h"

#include <QDeadlineTimer>
#include <QThread>

#include <iterator>

namespace {

using Protocol = BootloaderProtocol;
constexpr int msPerSecond = 1000;

// How many times a packet went, in words: "ten times" reads better than "11 sends".
QString timesInWords(int count)
{
    static const char *const words[] = {"never",       "once",       "twice",     "three times",
                                        "four times",  "five times", "six times", "seven times",
                                        "eight times", "nine times", "ten times", "eleven times"};
    if (count >= 0 && count < int(std::size(words)))
        return QString::fromLatin1(words[count]);
    return QStringLiteral("%1 times").arg(count);
}

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
        return reasonCode(Reason::MeterNak);
    case Kind::NoCrcRequest:
        return reasonCode(Reason::MeterNotReady);
    case Kind::MeterSilent:
        return reasonCode(Reason::MeterSilent);
    case Kind::MeterCancelled:
        return reasonCode(Reason::MeterCancelled);
    case Kind::TooLong:
        return reasonCode(Reason::MeterTooSlow);
    }
    return QLatin1String();
}

QString FirmwareFlasher::FlashFailure::describe() const
{
    // The packet in the words of someone who has never read the protocol.
    QString packet;
    QString where;
    if (block < 0) {
        where = QStringLiteral("before the transfer began");
    } else if (block == 0) {
        packet = QStringLiteral("the start of the transfer (the image's name and size)");
        where = QStringLiteral("at the start of the transfer");
    } else if (block > blocks) {
        packet = QStringLiteral("the end of the transfer");
        where = QStringLiteral("at the end of the transfer");
    } else {
        packet = QStringLiteral("block %1 of %2").arg(block).arg(blocks);
        where = QStringLiteral("at block %1 of %2").arg(block).arg(blocks);
    }

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
        return QStringLiteral("the meter refused %1 %2").arg(packet, timesInWords(maxResends + 1));
    case Kind::NoCrcRequest:
        return QStringLiteral("the meter took the image's name and size but never asked for the "
                              "data");
    case Kind::MeterSilent:
        return QStringLiteral("the meter stopped answering ") + where;
    case Kind::MeterCancelled:
        return QStringLiteral("the meter cancelled the transfer ") + where;
    case Kind::TooLong:
        return QStringLiteral("the meter answered too slowly: the image was still not written "
                              "after %1 s, ")
                   .arg(boundMs / msPerSecond) +
               where;
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

int FirmwareFlasher::progressPercent(qint64 sent, qint64 imageSize)
{
    if (imageSize <= 0)
        return 0;
    return int(sent * 100 / imageSize);
}

qint64 FirmwareFlasher::transferBoundMs(qint64 imageSize) const
{
    return limits.transferBaseMs +
           qint64(limits.transferPerBlockMs) * Protocol::blockCount(imageSize);
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
    failure.blocks = Protocol::blockCount(imageSize);
    failure.boundMs = transferBoundMs(imageSize);
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
    if (reply == ControlWait::OutOfTime)
        return fail(FlashFailure::Kind::TooLong, 0);
    return fail(unanswered, 0);
}

bool FirmwareFlasher::flashImage(const QByteArray &image, const QString &fileName)
{
    resetTransfer(image.size());
    // A name that cannot travel whole would reach the device cut, mangled or with a forged size
    // field: refuse it before the device is put into download mode.
    if (!Protocol::headerNameProblem(fileName, image.size()).isEmpty())
        return fail(FlashFailure::Kind::BadName, -1);
    if (!link)
        return fail(FlashFailure::Kind::PortUnavailable, -1);
    if (!enterDownloadMode())
        return false;
    transferDeadline.setRemainingTime(failure.boundMs);
    if (!sendHeader(fileName, image.size()))
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
    if (!link->writeAndWait(QByteArray(1, Protocol::downloadCommand)))
        return failOnLink(-1);
    return true;
}

bool FirmwareFlasher::sendHeader(const QString &fileName, qint64 imageSize)
{
    crcRequestSeen = false;
    if (!sendConfirmed(Protocol::packet(0, Protocol::headerPayload(fileName, imageSize)), 0,
                       Answering::Header))
        return false;
    // The device may send its "C" before the header ACK, or only the "C" when the ACK was lost;
    // the flag it set ends this wait at once.
    if (const ControlWait reply = waitForControlByte(Protocol::crcRequest);
        reply != ControlWait::Received)
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
    const qint64 chunk = qMin<qint64>(image.size() - bytesSent, Protocol::blockSize);
    QByteArray payload = image.mid(bytesSent, chunk);
    // The last block is padded with zeros.
    payload.append(QByteArray(Protocol::blockSize - chunk, '\0'));
    bytesSent += chunk;
    const int ordinal = Protocol::blockCount(bytesSent);
    blockNumber = Protocol::blockNumber(ordinal);
    return sendConfirmed(Protocol::packet(blockNumber, payload), ordinal, Answering::Packet);
}

bool FirmwareFlasher::sendEnd(int blocks)
{
    const int end = blocks + 1;
    // A late ACK of a data block still on its way would otherwise be read as the answer to the
    // end of transmission.
    if (const ControlWait quiet = awaitQuiet(); quiet != ControlWait::TimedOut)
        return failAnswer(quiet, end);
    const QByteArray endOfTransmission(1, char(Protocol::eot));
    for (int sends = 0;; ++sends) {
        if (sends > maxResends)
            return fail(FlashFailure::Kind::Unconfirmed, end);
        // Only an ACK that comes after this EOT answers it: the last data block's must not.
        ackSeen = false;
        if (const WriteResult written = writeFresh(endOfTransmission);
            written != WriteResult::Written)
            return failWrite(written, end);
        const ControlWait answer = awaitAnswer(Answering::End);
        if (answer == ControlWait::Received)
            return true; // this meter confirms the end itself and has left download mode
        if (answer == ControlWait::TimedOut)
            break; // taken without a word: the meter waits for the closing block
        if (answer != ControlWait::Rejected)
            return failAnswer(answer, end);
    }
    if (const ControlWait quiet = awaitQuiet(); quiet != ControlWait::TimedOut)
        return failAnswer(quiet, end);
    blockNumber = 0;
    return sendConfirmed(Protocol::closingPacket(), end, Answering::Packet);
}

bool FirmwareFlasher::failAnswer(ControlWait answer, int block)
{
    switch (answer) {
    case ControlWait::Cancelled:
        return fail(FlashFailure::Kind::MeterCancelled, block);
    case ControlWait::PortFailed:
        return fail(FlashFailure::Kind::MeterUnplugged, block);
    case ControlWait::OutOfTime:
        return fail(FlashFailure::Kind::TooLong, block);
    case ControlWait::Received:
    case ControlWait::TimedOut:
    case ControlWait::Rejected:
        break;
    }
    return fail(FlashFailure::Kind::Unconfirmed, block);
}

bool FirmwareFlasher::sendConfirmed(const QByteArray &bytes, int block, Answering answering)
{
    for (int sends = 0; sends <= maxResends; ++sends) {
        ackSeen = false;
        if (const WriteResult written = writeFresh(bytes); written != WriteResult::Written)
            return failWrite(written, block);
        switch (const ControlWait answer = awaitAnswer(answering)) {
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
        case ControlWait::PortFailed:
        case ControlWait::OutOfTime:
            return failAnswer(answer, block);
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
    cancelsInRow = stale.endsWith(char(Protocol::cancel)) ? 1 : 0;
    const bool aborted = stale.contains(QByteArray(cancelBytesToAbort, char(Protocol::cancel)));
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
    if (byte == Protocol::crcRequest)
        crcRequestSeen = true;
    else if (byte == Protocol::ack)
        ackSeen = true;
    cancelsInRow = byte == Protocol::cancel ? cancelsInRow + 1 : 0;
}

QDeadlineTimer FirmwareFlasher::waitDeadline(int limitMs) const
{
    const QDeadlineTimer own(limitMs);
    return own.deadlineNSecs() < transferDeadline.deadlineNSecs() ? own : transferDeadline;
}

FirmwareFlasher::Poll FirmwareFlasher::pollByte(const QDeadlineTimer &deadline, quint8 &byte)
{
    QThread::msleep(pollPauseMs);
    const qint64 left = qMax<qint64>(0, deadline.remainingTime());
    const SerialLink::InputWait input =
        link->waitForInput(int(qMin<qint64>(limits.ackPollMs, left)));
    // The link reports bytes it already holds before a failure, so an ACK that came just before
    // an unplug still counts.
    if (input == SerialLink::InputWait::Failed)
        return Poll::Failed;
    const QByteArray read = input == SerialLink::InputWait::Ready ? link->read(1) : QByteArray();
    if (!read.isEmpty()) {
        byte = quint8(read.at(0));
        return Poll::Byte;
    }
    if (!deadline.hasExpired())
        return Poll::Nothing;
    return transferDeadline.hasExpired() ? Poll::OutOfTime : Poll::Expired;
}

FirmwareFlasher::ControlWait FirmwareFlasher::endOfWait(Poll poll)
{
    switch (poll) {
    case Poll::Failed:
        return ControlWait::PortFailed;
    case Poll::OutOfTime:
        return ControlWait::OutOfTime;
    case Poll::Byte:
    case Poll::Nothing:
    case Poll::Expired:
        break;
    }
    return ControlWait::TimedOut;
}

FirmwareFlasher::ControlWait FirmwareFlasher::waitForControlByte(quint8 target)
{
    const bool &targetSeen = target == Protocol::crcRequest ? crcRequestSeen : ackSeen;
    // A poll never runs past the wait's own limit, so one wait is ackTimeoutMs, not that plus a
    // poll; and a device that keeps sending other bytes cannot stretch it either.
    const QDeadlineTimer deadline = waitDeadline(ackTimeoutMs);
    for (;;) {
        if (targetSeen)
            return ControlWait::Received;
        quint8 byte = 0;
        const Poll poll = pollByte(deadline, byte);
        if (poll == Poll::Byte)
            noteControlByte(byte);
        if (cancelsInRow >= cancelBytesToAbort)
            return ControlWait::Cancelled;
        if (targetSeen)
            return ControlWait::Received;
        if (poll != Poll::Byte && poll != Poll::Nothing)
            return endOfWait(poll);
    }
}

FirmwareFlasher::ControlWait FirmwareFlasher::awaitAnswer(Answering packet)
{
    const bool end = packet == Answering::End;
    QDeadlineTimer deadline = waitDeadline(end ? limits.eotAnswerMs : ackTimeoutMs);
    // Noise after a packet is a wrong answer, and the packet goes again; noise after the end of
    // transmission says nothing, as the meter that takes it stays silent.
    bool heard = false;
    // A CAN left at the end of the input dropped before the packet only turns a CAN that follows
    // into an abort; any other answer stands for itself.
    bool cancelHeard = false;
    for (;;) {
        quint8 byte = 0;
        const Poll poll = pollByte(deadline, byte);
        if (poll == Poll::Nothing)
            continue;
        // A lone CAN refuses the end of transmission as it refuses a packet: the meter did not
        // take it, and a closing block now would be read as data.
        if (poll == Poll::Expired && (heard || cancelHeard))
            return ControlWait::Rejected;
        if (poll != Poll::Byte)
            return endOfWait(poll);
        heard = !end;
        noteControlByte(byte);
        if (cancelsInRow >= cancelBytesToAbort)
            return ControlWait::Cancelled;
        // A lone CAN is a refusal like a NAK; only its partner may still turn it into an abort.
        if (cancelHeard || byte == Protocol::nak)
            return ControlWait::Rejected;
        if (cancelsInRow > 0) {
            cancelHeard = true;
            deadline = waitDeadline(cancelPairGapMs);
            continue;
        }
        // The meter asks for data only once it has taken the header.
        if (ackSeen || (packet == Answering::Header && crcRequestSeen))
            return ControlWait::Received;
    }
}

FirmwareFlasher::ControlWait FirmwareFlasher::awaitQuiet()
{
    // Each byte starts the gap again. A meter that will not fall quiet within one ACK limit is
    // not listening (a bootloader stuck printing): the end is refused rather than waited out to
    // the transfer's bound.
    const QDeadlineTimer giveUp = waitDeadline(ackTimeoutMs);
    for (;;) {
        if (giveUp.hasExpired())
            return transferDeadline.hasExpired() ? ControlWait::OutOfTime : ControlWait::Rejected;
        const QDeadlineTimer deadline = waitDeadline(limits.quietGapMs);
        quint8 byte = 0;
        Poll poll = Poll::Nothing;
        while (poll == Poll::Nothing)
            poll = pollByte(deadline, byte);
        if (poll != Poll::Byte)
            return endOfWait(poll);
        const QByteArray dropped = char(byte) + link->discardInput();
        // An abort is an abort wherever it comes.
        if (dropped.contains(QByteArray(cancelBytesToAbort, char(Protocol::cancel))))
            return ControlWait::Cancelled;
    }
}
