// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "seriallink.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

// Whether this process may read and write the device file, by its effective ids, capabilities
// and ACLs: what the kernel checks when the port is opened. The file is reached through an O_PATH
// descriptor, which opens nothing on the device itself.
bool mayReadAndWrite(const QString &deviceFile)
{
#ifdef Q_OS_LINUX
    const int fd = ::open(QFile::encodeName(deviceFile).constData(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return true; // nothing to say about it
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    const bool allowed = ::faccessat(AT_FDCWD, self.constData(), R_OK | W_OK, AT_EACCESS) == 0;
    ::close(fd);
    return allowed;
#else
    Q_UNUSED(deviceFile)
    return false;
#endif
}

} // namespace

SerialLink::SerialLink() = default;

bool SerialLink::acquire(int newReadTimeoutMs, const QString &newPortName)
{
    // The latest caller's limit applies to the next readReply, also when the port is already held.
    readTimeoutMs = newReadTimeoutMs;
    if (holdCount > 0) {
        ++holdCount;
        return true;
    }
    if (!newPortName.isEmpty())
        portName = newPortName;
    if (!open())
        return false;
    drainInput();
    holdCount = 1;
    return true;
}

bool SerialLink::open()
{
    port.setPortName(portName);
    port.setBaudRate(baudRate, QSerialPort::AllDirections);
    port.setParity(QSerialPort::NoParity);
    port.setDataBits(QSerialPort::Data8);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
    port.open(QIODevice::ReadWrite);
    if (!port.isOpen()) {
        lastOpenFailure = classifyOpenError(port.error());
        lastOpenErrorText = port.errorString();
        return false;
    }
    lastOpenFailure = OpenFailure::None;
    lastOpenErrorText.clear();
    // Some drivers (and pseudo-terminals) refuse an optional ioctl during an open that otherwise
    // worked; only errors raised by later I/O say anything about the device.
    port.clearError();
    portFailed = false;
    return true;
}

SerialLink::OpenFailure SerialLink::classifyOpenError(QSerialPort::SerialPortError error) const
{
    switch (error) {
    case QSerialPort::DeviceNotFoundError:
        return OpenFailure::Missing;
    case QSerialPort::OpenError: // already open in this process
        return OpenFailure::Busy;
    case QSerialPort::PermissionError: {
        // Qt reports a port locked by another program, and one the device file's permissions
        // keep from this user, alike.
        const QString deviceFile =
            portName.startsWith(QLatin1Char('/')) ? portName : QStringLiteral("/dev/") + portName;
        return mayReadAndWrite(deviceFile) ? OpenFailure::Busy : OpenFailure::NoAccess;
    }
    default:
        return OpenFailure::Other;
    }
}

void SerialLink::release()
{
    if (holdCount <= 0)
        return;
    if (--holdCount == 0)
        port.close();
}

void SerialLink::releaseAll()
{
    while (holdCount > 0)
        release();
}

bool SerialLink::checkPort()
{
    const QSerialPort::SerialPortError error = port.error();
    if (error != QSerialPort::NoError && error != QSerialPort::TimeoutError)
        portFailed = true;
    return !portFailed;
}

void SerialLink::runHookIfDue()
{
    if (!waitHook || (sinceHook.isValid() && sinceHook.elapsed() < waitSliceMs))
        return;
    waitHook();
    sinceHook.start();
}

int SerialLink::nextWaitMs(const QDeadlineTimer &deadline) const
{
    const qint64 left = qMax<qint64>(0, deadline.remainingTime());
    return int(waitHook ? qMin<qint64>(left, waitSliceMs) : left);
}

SerialLink::InputWait SerialLink::waitForInput(int timeoutMs)
{
    // A negative limit would make the deadline endless.
    const QDeadlineTimer deadline(qMax(0, timeoutMs));
    for (;;) {
        runHookIfDue();
        // waitForReadyRead only reports bytes that arrive during the wait, so bytes that an
        // earlier read (or the port's own notifier, while the hook ran) left behind would
        // otherwise sit unseen for the whole limit. They come before a failure: an answer that
        // arrived just before the meter was unplugged is still its answer.
        if (port.isOpen() && port.bytesAvailable() > 0)
            return InputWait::Ready;
        if (portFailed || !port.isOpen())
            return InputWait::Failed;
        if (port.waitForReadyRead(nextWaitMs(deadline)) || port.bytesAvailable() > 0)
            return InputWait::Ready;
        // After an unplug the wait returns false at once with a read error; treating that as "no
        // data yet" would spin through the remaining time limits.
        if (!checkPort())
            return InputWait::Failed;
        if (deadline.hasExpired())
            return InputWait::Quiet;
    }
}

bool SerialLink::writeAndWait(const QByteArray &bytes)
{
    if (portFailed || !port.isOpen())
        return false;
    if (traceHook)
        traceHook(Direction::ToDevice, bytes);
    port.write(bytes.constData(), bytes.size());
    const QDeadlineTimer deadline(writeTimeoutMs);
    while (port.bytesToWrite() > 0 && !deadline.hasExpired()) {
        runHookIfDue();
        // The port's own notifier may have sent the bytes while the hook ran.
        if (port.bytesToWrite() > 0)
            port.waitForBytesWritten(nextWaitMs(deadline));
        if (!checkPort())
            return false;
    }
    return checkPort();
}

void SerialLink::pause(int ms)
{
    const QDeadlineTimer deadline(qMax(0, ms));
    do {
        runHookIfDue();
        QThread::msleep(nextWaitMs(deadline));
    } while (!deadline.hasExpired());
}

QByteArray SerialLink::read(qint64 maxBytes)
{
    const QByteArray bytes = port.read(maxBytes);
    if (traceHook && !bytes.isEmpty())
        traceHook(Direction::FromDevice, bytes);
    return bytes;
}

void SerialLink::drainInput()
{
    const QDeadlineTimer limit(drainLimitMs);
    while (!limit.hasExpired() &&
           waitForInput(int(qMin<qint64>(drainQuietMs, limit.remainingTime()))) == InputWait::Ready)
        read(drainChunkBytes);
}

QByteArray SerialLink::discardInput()
{
    QByteArray dropped;
    for (int round = 0; round < discardRounds; ++round) {
        if (portFailed || !port.isOpen())
            break;
        // A zero wait only moves into the port's buffer what the driver already holds.
        if (port.bytesAvailable() == 0 && !port.waitForReadyRead(0)) {
            checkPort();
            break;
        }
        dropped += read(port.bytesAvailable());
    }
    return dropped;
}

QString SerialLink::readReply(int lines)
{
    QString reply;
    const QDeadlineTimer deadline(qMax(0, readTimeoutMs));
    // Each wait takes only the time left, so a silent device costs the limit once, not twice.
    while (!deadline.hasExpired() &&
           waitForInput(int(deadline.remainingTime())) == InputWait::Ready) {
        const QByteArray chunk = read(replyChunkBytes);
        const qsizetype nul = chunk.indexOf('\0');
        reply += QString::fromUtf8(nul < 0 ? chunk : chunk.left(nul));
        // Equality, not "at least": a reply that overshoots the count in one pass is read on until
        // the time limit, and the caller gets everything collected.
        if (reply.count(QLatin1Char(carriageReturn)) == lines)
            break;
    }
    return reply;
}

QString SerialLink::sendCommand(const QString &command, int commandReadTimeoutMs, int lines)
{
    QString reply;
    if (!acquire(commandReadTimeoutMs, QString()))
        return reply;
    drainInput();
    QThread::msleep(writePauseMs);
    // Commands are single bytes; an empty command still puts one (NUL) byte on the line.
    const QByteArray encoded = command.toLocal8Bit();
    const char commandByte = encoded.isEmpty() ? '\0' : encoded.at(0);
    if (writeAndWait(QByteArray(1, commandByte)))
        reply = readReply(lines);
    release();
    return reply;
}

bool SerialLink::sendBytes(const QByteArray &bytes)
{
    if (!acquire(packetHoldReadTimeoutMs, QString()))
        return false;
    QThread::msleep(writePauseMs);
    const bool written = writeAndWait(bytes);
    release();
    return written;
}
