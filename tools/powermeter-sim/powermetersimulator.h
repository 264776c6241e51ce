// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QWaitCondition>

#include <memory>

class QThread;

// One image as the simulated bootloader received it.
struct ReceivedImage
{
    QString name;
    qint64 declaredSize = 0;
    QByteArray data;         // cut to declaredSize
    QList<int> blockNumbers; // block numbers of the data blocks as they came over the line
};

struct PowerMeterOptions
{
    QByteArray productReply = "DOVUr3\r"; // CR-terminated; "DOVUr3" is also the 6-char hardware id
    // Unless null, the answer to every product query after the first: another device took the
    // port between the queries.
    QByteArray laterProductReply;
    enum class Fault {
        None,
        Silent,              // receives everything, answers nothing
        NeverAckData,        // ACKs header and closing block, never a data block
        NakBlockOnce,        // NAKs data block faultBlock the first time it comes
        NakBlockAlways,      // NAKs data block faultBlock every time it comes
        CancelAtBlock,       // answers data block faultBlock with CAN CAN and drops the transfer
        GarbageBetweenAcks,  // sends stray bytes in front of every ACK
        CrcBeforeHeaderAck,  // sends "C" before the header ACK
        SlowAcks,            // every ACK comes ackDelayMs late
        DisappearAfterBlock, // after ACKing data block faultBlock the device vanishes
        NoCrcRequest,        // ACKs the header but never sends "C"
        SparseAcks,          // ACKs only the data blocks whose ordinal is a multiple of faultBlock
        Chatter              // answers the first command, then prints without pause for ever
                             // and answers nothing more (a bootloader stuck printing)
    };
    Fault fault = Fault::None;
    int faultBlock = 1;  // k for the block-related faults: 1 is the first data block of a batch
    int faultImage = -1; // which received batch (0-based) the fault applies to; -1 = every batch
    int ackDelayMs = 0;  // for SlowAcks
};

// Plays the meter's bootloader (its side of the serial protocol) on the master end of a
// pseudo-terminal, on a thread of its own, so it keeps answering while the program under test
// blocks its thread in serial waits.
//
// Outside a transfer every byte is a command: "P" is answered with the product reply, "D" starts
// a batch, "R" is recorded. In a batch each 133-byte packet is checked (framing, block number and
// its complement, CRC-16/XMODEM); the header block is ACKed and followed by "C", data blocks are
// ACKed, end of transmission is accepted and the closing null block ACKed, completing the image.
// A bad packet is NAKed and recorded in protocolErrors().
//
// The master end reports EIO while the program has the tty closed (before its first open and
// between runs); the simulator waits and retries rather than stopping.
class PowerMeterSimulator
{
public:
    enum class Ownership { Borrowed, Owned };

    // A borrowed fd is left open (umockdev's master end must never be closed); an owned one is
    // closed on destruction, or when DisappearAfterBlock plays the unplug. With a borrowed fd
    // that fault makes the device go mute instead.
    explicit PowerMeterSimulator(int masterFd, const PowerMeterOptions &options = {},
                                 Ownership ownership = Ownership::Borrowed);
    ~PowerMeterSimulator();
    PowerMeterSimulator(const PowerMeterSimulator &) = delete;
    PowerMeterSimulator &operator=(const PowerMeterSimulator &) = delete;

    void start();
    void stop();

    QList<ReceivedImage> images() const; // completed batches, in order
    QByteArray commands() const;         // command bytes received outside a transfer, e.g. "PPDPR"
    QByteArray received() const;         // every byte that reached the device, in order
    QList<int> packetLog() const;        // block number of every packet received, resends included
    int productQueries() const;
    bool resetReceived() const;
    QStringList protocolErrors() const; // empty when every packet was well formed
    bool waitForReset(int timeoutMs) const;
    // Waits until at least count images are complete.
    bool waitForImages(int count, int timeoutMs) const;

    static constexpr int packetTimeoutMs = 1000; // a packet's bytes arrive together or not at all
    static constexpr int closedPortRetryMs = 5;
    static constexpr int chatterIntervalMs = 10;
    static constexpr char chatterByte = '.';

private:
    enum class State { Command, AwaitHeader, AwaitData, AwaitClosing };

    void run();
    void chatterStep(char *buffer, size_t size);
    bool waitForWake(int timeoutMs);
    void handleInput();
    void handleCommandByte(char byte);
    void handlePacket(const QByteArray &packet);
    void handleHeader(const QByteArray &payload);
    void handleDataBlock(int block, const QByteArray &payload);
    void handleClosing(const QByteArray &payload);
    void abandonTransfer();
    void reply(const QByteArray &bytes);
    void ackAfterDelay();
    bool faultActive(PowerMeterOptions::Fault fault) const;
    void protocolError(const QString &text);
    void disappear();

    int fd;
    const PowerMeterOptions options;
    const Ownership ownership;
    int wakePipe[2] = {-1, -1};
    std::unique_ptr<QThread> thread;

    // Owned by the device thread.
    State state = State::Command;
    QByteArray pending;
    ReceivedImage current;
    int batchIndex = -1;
    int dataBlocksInBatch = 0;
    int expectedBlock = 1;
    int faultBlockNaks = 0;
    bool mute = false;
    bool chattering = false;
    QDeadlineTimer nextChatter;

    // Shared with the test's thread.
    mutable QMutex mutex;
    mutable QWaitCondition changed;
    QList<ReceivedImage> completed;
    QByteArray commandBytes;
    QByteArray currentProductReply;
    QByteArray input;
    QList<int> packets;
    int queries = 0;
    bool reset = false;
    QStringList errors;
    bool stopping = false;
};
