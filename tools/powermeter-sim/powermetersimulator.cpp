// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "powermetersimulator.h"

#include <QMutexLocker>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr char soh = 0x01;
constexpr char eot = 0x04;
constexpr char ack = 0x06;
constexpr char nak = 0x15;
constexpr char cancel = 0x18;
constexpr char crcRequest = 'C';
constexpr int packetSize = 133;
constexpr int payloadSize = 128;
// Stray bytes for GarbageBetweenAcks and GarbageAck: none of them means anything to the sender.
const QByteArray garbage("\x00\x7fZ?\xff", 5);
// Noise around a NAK, for NakInNoise.
const QByteArray nakInNoise("\x7fZ\x15?\xff", 5);

// Computed bit by bit on purpose: the device must not share the sender's table-driven code, or a
// fault in that table would go unnoticed on both ends.
quint16 crc16Xmodem(const QByteArray &data)
{
    quint16 crc = 0;
    for (const char byte : data) {
        crc ^= quint16(quint8(byte) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

bool allZero(const QByteArray &bytes)
{
    for (const char byte : bytes) {
        if (byte != 0)
            return false;
    }
    return true;
}

} // namespace

PowerMeterSimulator::PowerMeterSimulator(int masterFd, const PowerMeterOptions &options,
                                         Ownership ownership)
    : fd(masterFd), options(options), ownership(ownership),
      currentProductReply(options.productReply)
{
    if (options.fault != PowerMeterOptions::Fault::None)
        faults.append({{options.fault, options.faultBlock, options.faultImage, options.faultCount,
                        options.faultDurationMs, options.ackDelayMs},
                       0});
    for (const PowerMeterOptions::Injection &more : options.moreFaults)
        faults.append({more, 0});
    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        wakePipe[0] = wakePipe[1] = -1;
}

PowerMeterSimulator::~PowerMeterSimulator()
{
    stop();
    if (ownership == Ownership::Owned && fd >= 0)
        ::close(fd);
    for (const int end : wakePipe) {
        if (end >= 0)
            ::close(end);
    }
}

void PowerMeterSimulator::start()
{
    if (thread)
        return;
    thread.reset(QThread::create([this] { run(); }));
    thread->start();
}

void PowerMeterSimulator::stop()
{
    if (!thread)
        return;
    {
        QMutexLocker locker(&mutex);
        stopping = true;
    }
    const char wake = 1;
    while (::write(wakePipe[1], &wake, 1) < 0 && errno == EINTR) {
    }
    thread->wait();
    thread.reset();
}

bool PowerMeterSimulator::waitForWake(int timeoutMs)
{
    pollfd wake{wakePipe[0], POLLIN, 0};
    return ::poll(&wake, 1, timeoutMs) > 0;
}

void PowerMeterSimulator::run()
{
    char buffer[4096];
    for (;;) {
        {
            QMutexLocker locker(&mutex);
            if (stopping)
                return;
        }
        // A hung device still takes bytes off the line; an unplugged one has no line.
        if (mute && fd < 0) {
            waitForWake(-1);
            continue;
        }
        if (chattering) {
            chatterStep(buffer, sizeof buffer);
            continue;
        }
        const bool partialPacket = !mute && state != State::Command && !pending.isEmpty();
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
        const int scheduledMs = msUntilScheduled();
        int timeoutMs = partialPacket ? packetTimeoutMs : -1;
        if (scheduledMs >= 0 && (timeoutMs < 0 || scheduledMs < timeoutMs))
            timeoutMs = scheduledMs;
        const int ready = ::poll(fds, 2, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            continue;
        if (ready == 0 && scheduledMs >= 0 && scheduledMs == timeoutMs) {
            sendScheduled();
            continue;
        }
        if (ready == 0) {
            protocolError(
                QStringLiteral("incomplete packet: %1 bytes, then silence").arg(pending.size()));
            pending.clear();
            continue;
        }
        if (fds[0].revents & POLLIN) {
            const ssize_t count = ::read(fd, buffer, sizeof buffer);
            if (count > 0) {
                {
                    QMutexLocker locker(&mutex);
                    input.append(buffer, count);
                }
                // The announcement is made on a quiet line only.
                announceAt = QDeadlineTimer(QDeadlineTimer::Forever);
                if (!mute) {
                    pending.append(buffer, count);
                    handleInput();
                }
                continue;
            }
            if (count < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
        }
        // EIO or a hang-up: the program has the tty closed (not opened yet, or between runs).
        // The master end cannot be waited on in that state, so look again shortly.
        waitForWake(closedPortRetryMs);
    }
}

// One step of a stuck device: whatever arrives is taken and ignored, and a byte goes out every
// chatterIntervalMs (lost while the program has the port closed, as on a real line).
void PowerMeterSimulator::chatterStep(char *buffer, size_t size)
{
    const int untilNext = int(nextChatter.remainingTime());
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, untilNext);
    if (ready > 0 && fds[1].revents != 0)
        return;
    if (ready > 0) {
        const ssize_t count = ::read(fd, buffer, size);
        if (count > 0) {
            QMutexLocker locker(&mutex);
            input.append(buffer, count);
        } else if (count < 0 && errno != EINTR && errno != EAGAIN) {
            waitForWake(qMin(untilNext, closedPortRetryMs)); // the tty is closed
        }
    }
    if (nextChatter.hasExpired()) {
        reply(QByteArray(1, chatterByte));
        nextChatter.setRemainingTime(chatterIntervalMs);
    }
}

void PowerMeterSimulator::handleInput()
{
    while (!pending.isEmpty() && !mute && !chattering) {
        if (!deafUntil.hasExpired()) {
            pending.clear();
            return;
        }
        const char first = pending.at(0);
        if (state == State::Command || (state == State::Completed && first != soh)) {
            state = State::Command;
            pending.remove(0, 1);
            handleCommandByte(first);
        } else if (first == soh) {
            if (pending.size() < packetSize)
                return;
            const QByteArray packet = pending.left(packetSize);
            pending.remove(0, packetSize);
            handlePacket(packet);
        } else if (first == eot && state == State::AwaitData) {
            pending.remove(0, 1);
            handleEndOfTransmission();
        } else if (first == eot && state == State::AwaitClosing) {
            // The sender did not hear that we took its end of transmission; we still wait for
            // the closing block.
            pending.remove(0, 1);
        } else {
            // Anything else between packets means the sender has given the transfer up (a new
            // "D" after a failed attempt, a closing "R"): read it as a command.
            abandonTransfer();
        }
    }
}

void PowerMeterSimulator::startChatter()
{
    chattering = true;
    pending.clear();
    nextChatter.setRemainingTime(chatterIntervalMs);
}

void PowerMeterSimulator::handleCommandByte(char byte)
{
    QByteArray productReply;
    {
        QMutexLocker locker(&mutex);
        commandBytes.append(byte);
        if (byte == 'P' && ++queries > 1 && !options.laterProductReply.isNull())
            currentProductReply = options.laterProductReply;
        productReply = currentProductReply;
        if (byte == 'R') {
            reset = true;
            changed.wakeAll();
        }
    }
    if (byte == 'P') {
        reply(productReply);
        if (!options.announceLine.isNull())
            announceAt.setRemainingTime(options.announceAfterMs);
    } else if (byte == 'D') {
        ++batchIndex;
        current = ReceivedImage();
        dataBlocksInBatch = 0;
        for (ActiveFault &fault : faults)
            fault.hits = 0;
        state = State::AwaitHeader;
    } else if (byte != 'R') {
        protocolError(QStringLiteral("byte 0x%1 read as a command")
                          .arg(quint8(byte), 2, 16, QLatin1Char('0')));
    }
    if (faultActive(PowerMeterOptions::Fault::Chatter))
        startChatter();
}

void PowerMeterSimulator::handlePacket(const QByteArray &packet)
{
    const int block = quint8(packet.at(1));
    const int complement = quint8(packet.at(2));
    const QByteArray payload = packet.mid(3, payloadSize);
    const quint16 crc = quint16(quint8(packet.at(131)) << 8 | quint8(packet.at(132)));
    {
        QMutexLocker locker(&mutex);
        packets.append(block);
    }
    if (block + complement != 255) {
        protocolError(
            QStringLiteral("block %1 carries the complement %2").arg(block).arg(complement));
        reply(QByteArray(1, nak));
        return;
    }
    const quint16 expectedCrc = crc16Xmodem(payload);
    if (crc != expectedCrc) {
        protocolError(QStringLiteral("block %1 carries CRC %2, payload gives %3")
                          .arg(block)
                          .arg(crc, 4, 16, QLatin1Char('0'))
                          .arg(expectedCrc, 4, 16, QLatin1Char('0')));
        reply(QByteArray(1, nak));
        return;
    }
    switch (state) {
    case State::AwaitHeader:
        if (block != 0) {
            protocolError(QStringLiteral("block %1 where header block 0 was due").arg(block));
            reply(QByteArray(1, nak));
            return;
        }
        handleHeader(payload);
        return;
    case State::AwaitData:
        handleDataBlock(block, payload);
        return;
    case State::AwaitClosing:
    case State::Completed:
        if (block != 0) {
            protocolError(QStringLiteral("block %1 where the closing block 0 was due").arg(block));
            reply(QByteArray(1, nak));
            return;
        }
        handleClosing(payload);
        return;
    case State::Command:
        break;
    }
}

void PowerMeterSimulator::handleHeader(const QByteArray &payload)
{
    const qsizetype nameEnd = payload.indexOf('\0');
    if (nameEnd == 0) {
        // An empty name closes a batch in YMODEM; there is nothing to receive.
        ackAfterDelay();
        state = State::Command;
        return;
    }
    const qsizetype sizeEnd = nameEnd < 0 ? -1 : payload.indexOf('\0', nameEnd + 1);
    const QByteArray digits =
        sizeEnd < 0 ? QByteArray() : payload.mid(nameEnd + 1, sizeEnd - nameEnd - 1);
    bool numeric = !digits.isEmpty() && (digits == "0" || !digits.startsWith('0'));
    for (const char digit : digits)
        numeric = numeric && digit >= '0' && digit <= '9';
    if (sizeEnd < 0 || !numeric || !allZero(payload.mid(sizeEnd))) {
        protocolError(QStringLiteral("malformed header block: %1")
                          .arg(QString::fromLatin1(payload.toHex(' '))));
        reply(QByteArray(1, nak));
        return;
    }
    if (interferes(0))
        return;
    current.name = QString::fromLatin1(payload.left(nameEnd));
    current.declaredSize = digits.toLongLong();
    expectedBlock = 1;
    state = State::AwaitData;

    using Fault = PowerMeterOptions::Fault;
    if (faultActive(Fault::CrcBeforeHeaderAck)) {
        reply(QByteArray(1, crcRequest));
        acknowledge(0);
        return;
    }
    acknowledge(0);
    if (!faultActive(Fault::NoCrcRequest) && !mute)
        reply(QByteArray(1, crcRequest));
}

void PowerMeterSimulator::handleDataBlock(int block, const QByteArray &payload)
{
    if (dataBlocksInBatch == 0 && block == 0 && !allZero(payload)) {
        // The header again: the sender heard neither our ACK nor our "C".
        acknowledge(0);
        if (!faultActive(PowerMeterOptions::Fault::NoCrcRequest) && !mute)
            reply(QByteArray(1, crcRequest));
        return;
    }
    const int previous = (expectedBlock + 255) % 256;
    if (dataBlocksInBatch > 0 && block == previous) {
        // The sender repeated a block we already hold (its ACK was lost or late): acknowledge it
        // again.
        acknowledge(dataBlocksInBatch);
        return;
    }
    if (block != expectedBlock) {
        protocolError(
            QStringLiteral("data block %1 where %2 was due").arg(block).arg(expectedBlock));
        reply(QByteArray(1, nak));
        return;
    }

    const int ordinal = dataBlocksInBatch + 1;
    if (interferes(ordinal))
        return;
    dataBlocksInBatch = ordinal;
    current.data.append(payload);
    current.blockNumbers.append(block);
    expectedBlock = (block + 1) % 256;
    acknowledge(ordinal);
}

void PowerMeterSimulator::handleEndOfTransmission()
{
    if (interferes(PowerMeterOptions::endOfTransmission))
        return;
    if (!options.ackEndOfTransmission) {
        state = State::AwaitClosing;
        // No answer of its own; a late answer to an earlier packet may still be on its way.
        for (ActiveFault &active : faults) {
            if (active.where.block == PowerMeterOptions::endOfTransmission && applies(active) &&
                active.where.fault == PowerMeterOptions::Fault::StaleAck && hitAgain(active, 1))
                staleAckAt.setRemainingTime(active.where.ackDelayMs);
        }
        return;
    }
    // A stricter bootloader: the end of transmission completes the image and ends download mode.
    completeImage();
    state = State::Command;
    acknowledge(PowerMeterOptions::endOfTransmission);
}

void PowerMeterSimulator::handleClosing(const QByteArray &payload)
{
    if (!allZero(payload)) {
        protocolError(QStringLiteral("closing block 0 is not empty"));
        reply(QByteArray(1, nak));
        return;
    }
    if (state == State::Completed) {
        // The sender did not hear our ACK of its closing block.
        acknowledge(PowerMeterOptions::closingBlock);
        return;
    }
    if (interferes(PowerMeterOptions::closingBlock))
        return;
    completeImage();
    state = State::Completed;
    acknowledge(PowerMeterOptions::closingBlock);
}

void PowerMeterSimulator::completeImage()
{
    if (current.data.size() < current.declaredSize) {
        protocolError(QStringLiteral("%1: %2 bytes received, %3 declared")
                          .arg(current.name)
                          .arg(current.data.size())
                          .arg(current.declaredSize));
    } else if (!allZero(current.data.mid(current.declaredSize))) {
        protocolError(
            QStringLiteral("%1: last block is not padded with zero bytes").arg(current.name));
    }
    current.data.truncate(current.declaredSize);
    {
        QMutexLocker locker(&mutex);
        completed.append(current);
        changed.wakeAll();
    }
    if (!options.announceLine.isNull())
        announceAt.setRemainingTime(options.announceAfterMs);
}

int PowerMeterSimulator::msUntilScheduled() const
{
    qint64 soonest = -1;
    for (const QDeadlineTimer &at : {staleAckAt, announceAt}) {
        if (!at.isForever() && (soonest < 0 || at.remainingTime() < soonest))
            soonest = at.remainingTime();
    }
    return int(soonest);
}

void PowerMeterSimulator::sendScheduled()
{
    if (!staleAckAt.isForever() && staleAckAt.hasExpired()) {
        staleAckAt = QDeadlineTimer(QDeadlineTimer::Forever);
        reply(QByteArray(1, ack));
    }
    if (!announceAt.isForever() && announceAt.hasExpired()) {
        announceAt = QDeadlineTimer(QDeadlineTimer::Forever);
        reply(options.announceLine);
    }
}

void PowerMeterSimulator::abandonTransfer()
{
    state = State::Command;
}

void PowerMeterSimulator::ackAfterDelay()
{
    using Fault = PowerMeterOptions::Fault;
    const ActiveFault *slow = faultActive(Fault::SlowAcks);
    if (slow && slow->where.ackDelayMs > 0 && waitForWake(slow->where.ackDelayMs))
        return; // stopping
    if (faultActive(Fault::GarbageBetweenAcks))
        reply(garbage + QByteArray(1, ack));
    else
        reply(QByteArray(1, ack));
}

bool PowerMeterSimulator::hitAgain(ActiveFault &active, int limit)
{
    if (limit >= 0 && active.hits >= limit)
        return false;
    ++active.hits;
    return true;
}

bool PowerMeterSimulator::applies(const ActiveFault &active) const
{
    return active.where.image < 0 || active.where.image == batchIndex;
}

bool PowerMeterSimulator::interferes(int packet)
{
    for (ActiveFault &active : faults) {
        if (active.where.block == packet && applies(active) && interferes(active))
            return true;
    }
    return false;
}

bool PowerMeterSimulator::interferes(ActiveFault &active)
{
    using Fault = PowerMeterOptions::Fault;
    const PowerMeterOptions::Injection &where = active.where;
    switch (where.fault) {
    case Fault::NakBlockOnce:
    case Fault::NakBlockAlways:
    case Fault::NakBlock: {
        const int limit = where.fault == Fault::NakBlockOnce     ? 1
                          : where.fault == Fault::NakBlockAlways ? -1
                                                                 : where.count;
        if (!hitAgain(active, limit))
            return false;
        reply(QByteArray(1, nak));
        return true;
    }
    case Fault::DropBlock:
        return hitAgain(active, where.count);
    case Fault::SingleCancel:
        if (!hitAgain(active, where.count))
            return false;
        reply(QByteArray(1, cancel));
        return true;
    case Fault::CancelAtBlock:
        reply(QByteArray(2, cancel));
        abandonTransfer();
        return true;
    case Fault::DeafAt:
        if (!hitAgain(active, 1))
            return false;
        deafUntil.setRemainingTime(where.durationMs);
        pending.clear();
        return true;
    case Fault::HangAt:
        mute = true;
        return true;
    case Fault::ChatterAt:
        startChatter();
        return true;
    case Fault::UnplugAt:
        disappear();
        return true;
    default:
        return false;
    }
}

void PowerMeterSimulator::acknowledge(int packet)
{
    using Fault = PowerMeterOptions::Fault;
    if (packet > 0 && faultActive(Fault::NeverAckData))
        return;
    for (ActiveFault &active : faults) {
        if (active.where.block != packet || !applies(active))
            continue;
        switch (active.where.fault) {
        case Fault::LoseAck:
        case Fault::LateAck:
        case Fault::GarbageAck:
        case Fault::NakInNoise:
        case Fault::CancelAfterAck:
        case Fault::DisappearAfterBlock:
        case Fault::StaleAck:
        case Fault::LoneCancelAfterAck:
            acknowledge(active);
            return;
        default:
            break;
        }
    }
    ackAfterDelay();
}

void PowerMeterSimulator::acknowledge(ActiveFault &active)
{
    using Fault = PowerMeterOptions::Fault;
    const PowerMeterOptions::Injection &where = active.where;
    switch (where.fault) {
    case Fault::LoseAck:
        if (!hitAgain(active, where.count))
            ackAfterDelay();
        return;
    case Fault::LateAck:
        if (hitAgain(active, 1) && waitForWake(where.ackDelayMs))
            return; // stopping
        ackAfterDelay();
        return;
    case Fault::GarbageAck:
        if (hitAgain(active, where.count))
            reply(garbage);
        else
            ackAfterDelay();
        return;
    case Fault::NakInNoise:
        // One write, so the noise is on the line before the sender's next packet.
        reply(hitAgain(active, 1) ? QByteArray(1, ack) + nakInNoise : QByteArray(1, ack));
        return;
    case Fault::CancelAfterAck:
        // One write: the cancel is on the line before the sender's next packet.
        reply(QByteArray(1, ack) + QByteArray(2, cancel));
        abandonTransfer();
        return;
    case Fault::LoneCancelAfterAck:
        reply(QByteArray(1, ack) + QByteArray(1, cancel));
        return;
    case Fault::StaleAck:
        ackAfterDelay();
        if (hitAgain(active, 1))
            staleAckAt.setRemainingTime(where.ackDelayMs);
        return;
    case Fault::DisappearAfterBlock:
        ackAfterDelay();
        // The answer is on its way when the line goes: a pseudo-terminal drops what its other
        // end has not read yet, a USB link what it has not delivered.
        if (where.durationMs > 0)
            waitForWake(where.durationMs);
        disappear();
        return;
    default:
        ackAfterDelay();
        return;
    }
}

PowerMeterSimulator::ActiveFault *PowerMeterSimulator::faultActive(PowerMeterOptions::Fault fault)
{
    for (ActiveFault &active : faults) {
        if (active.where.fault == fault && applies(active))
            return &active;
    }
    return nullptr;
}

void PowerMeterSimulator::reply(const QByteArray &bytes)
{
    if (mute || faultActive(PowerMeterOptions::Fault::Silent))
        return;
    {
        QMutexLocker locker(&mutex);
        output.append(bytes);
    }
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.constData() + written, bytes.size() - written);
        if (count > 0) {
            written += count;
        } else if (count < 0 && errno == EAGAIN) {
            pollfd out{fd, POLLOUT, 0};
            ::poll(&out, 1, closedPortRetryMs);
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            return; // nobody has the port open: the answer is lost, as on a real line
        }
    }
}

void PowerMeterSimulator::protocolError(const QString &text)
{
    QMutexLocker locker(&mutex);
    errors.append(text);
}

void PowerMeterSimulator::disappear()
{
    if (ownership == Ownership::Owned && fd >= 0) {
        ::close(fd);
        fd = -1;
    } else if (ownership == Ownership::BorrowedHangUp && fd >= 0) {
        const int nothing = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (nothing >= 0) {
            ::dup2(nothing, fd);
            ::close(nothing);
            fd = -1;
        }
    }
    mute = true;
}

QList<ReceivedImage> PowerMeterSimulator::images() const
{
    QMutexLocker locker(&mutex);
    return completed;
}

bool PowerMeterSimulator::holds(const QString &name, const QByteArray &data) const
{
    QMutexLocker locker(&mutex);
    return std::any_of(completed.cbegin(), completed.cend(), [&](const ReceivedImage &image) {
        return image.name == name && image.data == data;
    });
}

QByteArray PowerMeterSimulator::commands() const
{
    QMutexLocker locker(&mutex);
    return commandBytes;
}

QByteArray PowerMeterSimulator::received() const
{
    QMutexLocker locker(&mutex);
    return input;
}

QByteArray PowerMeterSimulator::sent() const
{
    QMutexLocker locker(&mutex);
    return output;
}

QList<int> PowerMeterSimulator::packetLog() const
{
    QMutexLocker locker(&mutex);
    return packets;
}

int PowerMeterSimulator::productQueries() const
{
    QMutexLocker locker(&mutex);
    return queries;
}

bool PowerMeterSimulator::resetReceived() const
{
    QMutexLocker locker(&mutex);
    return reset;
}

QStringList PowerMeterSimulator::protocolErrors() const
{
    QMutexLocker locker(&mutex);
    return errors;
}

bool PowerMeterSimulator::waitForReset(int timeoutMs) const
{
    QMutexLocker locker(&mutex);
    QDeadlineTimer deadline(timeoutMs);
    while (!reset) {
        if (!changed.wait(&mutex, deadline))
            return reset;
    }
    return true;
}

bool PowerMeterSimulator::waitForImages(int count, int timeoutMs) const
{
    QMutexLocker locker(&mutex);
    QDeadlineTimer deadline(timeoutMs);
    while (completed.size() < count) {
        if (!changed.wait(&mutex, deadline))
            return completed.size() >= count;
    }
    return true;
}
