// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QSerialPort>
#include <QString>

#include <functional>

class QDeadlineTimer;

// The one channel to the meter's bootloader: a serial port shared by nested users through a hold
// count. The first hold opens the port under the remembered name, the last release closes it.
// All I/O is blocking and polled on the caller's thread; no serial-port signal is used.
//
// A port that fails (the meter is unplugged) is remembered in portFailed until the next open, so
// every operation after the failure returns at once instead of waiting out its time limits.
//
// Every wait ends at a deadline taken when it starts, whatever the device sends. A GUI owner that
// waits on its own thread sets waitHook: waits then run in slices of waitSliceMs and call the
// hook between them, so the owner can keep its window answering. Without a hook (a console
// program) every wait blocks for its whole time.
class SerialLink
{
public:
    // How one wait for input ended.
    enum class InputWait {
        Ready, // bytes are buffered and can be read now
        Quiet, // the time ran out without input
        Failed // the port reported an error: the device is gone or the port is not open
    };

    // Why the latest open failed, in the terms a user can act on.
    enum class OpenFailure {
        None,     // it opened (or none was tried)
        NoAccess, // this user may not read and write the device
        Busy,     // another program has the port
        Missing,  // no such device
        Other
    };

    // Which way bytes crossed the line, for traceHook.
    enum class Direction { ToDevice, FromDevice };

    SerialLink();

    bool acquire(int readTimeoutMs, const QString &portName);
    void release();
    // Drops every hold, which closes the port, however many there were.
    void releaseAll();
    void drainInput();
    // Reads and drops the input that has arrived by now, without waiting for more: what the
    // device sent before a packet cannot be its answer to that packet. Returns what it dropped.
    QByteArray discardInput();
    QString readReply(int lines);
    QString sendCommand(const QString &command, int readTimeoutMs, int lines);
    bool sendBytes(const QByteArray &bytes);

    // Waits up to timeoutMs for input; returns at once when bytes are already buffered.
    InputWait waitForInput(int timeoutMs);
    // Writes the bytes in one write and waits up to writeTimeoutMs for them to leave. A slow
    // write is not an error (the device's answers tell); only a failed port gives false.
    bool writeAndWait(const QByteArray &bytes);
    // A pause between attempts, spent like any other wait (the hook keeps running).
    void pause(int ms);
    // Reads up to maxBytes of the input that has arrived. Every read of the link and of its users
    // goes through here, so traceHook sees all that the device sent.
    QByteArray read(qint64 maxBytes);

    bool failed() const { return portFailed; }
    bool isOpen() const { return port.isOpen(); }
    int holds() const { return holdCount; }
    // The limit the next readReply waits for: the latest acquire's.
    int readLimitMs() const { return readTimeoutMs; }
    OpenFailure openFailure() const { return lastOpenFailure; }
    // The operating system's words for it (QSerialPort::errorString); empty after an open that
    // worked.
    QString openErrorText() const { return lastOpenErrorText; }

    void setWaitHook(const std::function<void()> &hook) { waitHook = hook; }
    // Sees every byte written to and read from the device, in order (a protocol trace).
    void setTraceHook(const std::function<void(Direction, const QByteArray &)> &hook)
    {
        traceHook = hook;
    }

    static constexpr int waitSliceMs = 20;
    static constexpr int drainQuietMs = 100;
    // A device that never stops talking must not hold a drain for ever.
    static constexpr int drainLimitMs = 1000;
    static constexpr int drainChunkBytes = 10;
    // A device that never stops talking must not hold a discard either.
    static constexpr int discardRounds = 16;
    static constexpr int replyChunkBytes = 160;
    static constexpr int writePauseMs = 2;
    static constexpr int packetHoldReadTimeoutMs = 1000;
    static constexpr qint32 baudRate = 115200;
    static constexpr char carriageReturn = '\r';

private:
    bool open();
    // Tells a port this user may not open from one that another program holds.
    OpenFailure classifyOpenError(QSerialPort::SerialPortError error) const;
    // Records a port error raised by the last wait, read or write; time-outs are not failures.
    bool checkPort();
    // Runs the hook when a slice has passed since it last ran, also while input keeps coming.
    void runHookIfDue();
    // How long the next blocking call may take: the time left, cut to a slice when hooked.
    int nextWaitMs(const QDeadlineTimer &deadline) const;

    QSerialPort port;
    int holdCount = 0;
    QString portName;
    int readTimeoutMs = 1000;
    int writeTimeoutMs = 1000;
    bool portFailed = false;
    OpenFailure lastOpenFailure = OpenFailure::None;
    QString lastOpenErrorText;
    std::function<void()> waitHook;
    std::function<void(Direction direction, const QByteArray &bytes)> traceHook;
    QElapsedTimer sinceHook;
};
