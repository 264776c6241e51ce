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
        NakBlockOnce,        // NAKs packet faultBlock the first time it comes
        NakBlockAlways,      // NAKs packet faultBlock every time it comes
        CancelAtBlock,       // answers packet faultBlock with CAN CAN and drops the transfer
        GarbageBetweenAcks,  // sends stray bytes in front of every ACK
        CrcBeforeHeaderAck,  // sends "C" before the header ACK
        SlowAcks,            // every ACK comes ackDelayMs late
        DisappearAfterBlock, // after ACKing packet faultBlock the device vanishes
        NoCrcRequest,        // ACKs the header but never sends "C"
        Chatter,             // answers the first command, then prints without pause for ever
                             // and answers nothing more (a bootloader stuck printing)
        // Faults at packet faultBlock alone; a repeat of a packet already taken is ACKed again,
        // as YMODEM receivers do.
        NakBlock,          // NAKs it faultCount times (-1: every time), then takes it
        DropBlock,         // takes no notice of it, faultCount times: it was lost on the line
        SingleCancel,      // answers it with one CAN, faultCount times, then takes it
        LoseAck,           // takes it, but its ACK is lost faultCount times
        LateAck,           // takes it and ACKs it ackDelayMs late, doing nothing meanwhile
        GarbageAck,        // takes it and answers noise instead of the ACK, faultCount times
        NakInNoise,        // takes it and ACKs it, then sends noise with a NAK inside
        CancelAfterAck,    // takes it and ACKs it, then drops the transfer with CAN CAN
        DeafAt,            // from it on, takes no notice of anything for faultDurationMs
        HangAt,            // from it on, takes no notice of anything, for good
        ChatterAt,         // from it on, prints without pause and answers nothing
        UnplugAt,          // is unplugged as it arrives (see Ownership below)
        StaleAck,          // takes it and ACKs it, then sends one more ACK ackDelayMs later, as a
                           // late answer to an earlier packet arrives, while it goes on meanwhile
        LoneCancelAfterAck // takes it and ACKs it, then sends a single CAN
    };
    // Where a fault strikes that is bound to a packet: 0 is the header block, 1 the first data
    // block of a batch and so on; or one of these two.
    static constexpr int endOfTransmission = -1;
    static constexpr int closingBlock = -2;

    Fault fault = Fault::None;
    int faultBlock = 1;  // the packet a fault bound to one hits
    int faultImage = -1; // which received batch (0-based) the fault applies to; -1 = every batch
    int faultCount = 1;  // how often a repeatable fault hits its packet; -1: every time
    int faultDurationMs = 0; // for DeafAt
    int ackDelayMs = 0;      // for SlowAcks, LateAck and StaleAck

    // Further faults beside the one above, each with its own place and count; the first that
    // applies to a packet decides.
    struct Injection
    {
        Fault fault = Fault::None;
        int block = 1;
        int image = -1;
        int count = 1;
        int durationMs = 0;
        int ackDelayMs = 0;
    };
    QList<Injection> moreFaults;

    // How the meter answers the end of transmission. Ours takes it without a word and completes
    // the image with the closing block; a stricter one ACKs it, completes the image there and
    // leaves download mode, so a closing block after that is read as commands.
    bool ackEndOfTransmission = false;

    // The line the bootloader may announce on its own before "D": sent once when the line has
    // been quiet for announceAfterMs after an answer to "P" or a completed image. Null: the meter
    // stays silent and the program waits out its whole line limit.
    QByteArray announceLine = "BOOT ready\r";
    int announceAfterMs = 150;
};

// Plays the meter's bootloader (its side of the serial protocol) on the master end of a
// pseudo-terminal, on a thread of its own, so it keeps answering while the program under test
// blocks its thread in serial waits.
//
// Outside a transfer every byte is a command: "P" is answered with the product reply, "D" starts
// a batch, "R" is recorded. In a batch each 133-byte packet is checked (framing, block number and
// its complement, CRC-16/XMODEM); the header block is ACKed and followed by "C", data blocks are
// ACKed, end of transmission is accepted and the closing null block ACKed, completing the image.
// A bad packet is NAKed and recorded in protocolErrors(); so is a block out of order. A repeat of
// the packet just taken (its ACK was lost or late) is ACKed again, the closing block included.
//
// The master end reports EIO while the program has the tty closed (before its first open and
// between runs); the simulator waits and retries rather than stopping.
class PowerMeterSimulator
{
public:
    enum class Ownership { Borrowed, Owned, BorrowedHangUp };

    // A borrowed fd is left open (umockdev's master end must never be closed); an owned one is
    // closed on destruction, or when DisappearAfterBlock or UnplugAt plays the unplug. With a
    // borrowed fd those faults make the device go mute instead: it still takes bytes off the
    // line (received() shows them), as a hung device does, and answers nothing. BorrowedHangUp
    // is borrowed too, but the unplug hangs the line up as pulling the cable does: /dev/null
    // takes the master end's place under the same number, which closes the master and leaves
    // the owner an fd that it can still close.
    explicit PowerMeterSimulator(int masterFd, const PowerMeterOptions &options = {},
                                 Ownership ownership = Ownership::Borrowed);
    ~PowerMeterSimulator();
    PowerMeterSimulator(const PowerMeterSimulator &) = delete;
    PowerMeterSimulator &operator=(const PowerMeterSimulator &) = delete;

    void start();
    void stop();

    QList<ReceivedImage> images() const; // completed batches, in order
    // Whether a completed batch holds exactly this image under this name.
    bool holds(const QString &name, const QByteArray &data) const;
    QByteArray commands() const;  // command bytes received outside a transfer, e.g. "PPDPR"
    QByteArray received() const;  // every byte that reached the device, in order
    QByteArray sent() const;      // every byte the device sent, in order
    QList<int> packetLog() const; // block number of every packet received, resends included
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
    // A fault with its place and how often it has hit in this batch.
    struct ActiveFault
    {
        PowerMeterOptions::Injection where;
        int hits = 0;
    };

    // Completed reads commands like Command, but takes a packet as a repeat of the closing block.
    enum class State { Command, AwaitHeader, AwaitData, AwaitClosing, Completed };

    void run();
    void chatterStep(char *buffer, size_t size);
    bool waitForWake(int timeoutMs);
    void handleInput();
    void handleCommandByte(char byte);
    void handlePacket(const QByteArray &packet);
    void handleHeader(const QByteArray &payload);
    void handleDataBlock(int block, const QByteArray &payload);
    void handleClosing(const QByteArray &payload);
    void handleEndOfTransmission();
    void abandonTransfer();
    void reply(const QByteArray &bytes);
    void ackAfterDelay();
    // The faults that strike a packet before it is taken; true when it is not taken.
    bool interferes(int packet);
    bool interferes(ActiveFault &active);
    // Answers a packet that was taken (or repeated), as the fault has it.
    void acknowledge(int packet);
    void acknowledge(ActiveFault &active);
    // Counts one more hit of a repeatable fault; false once it has hit its count.
    static bool hitAgain(ActiveFault &active, int limit);
    void startChatter();
    // The first fault of this kind that applies to the current batch; null when none does.
    ActiveFault *faultActive(PowerMeterOptions::Fault fault);
    bool applies(const ActiveFault &active) const;
    void completeImage();
    // Sends what is due at a time of its own: a stale ACK, the announced line.
    void sendScheduled();
    int msUntilScheduled() const;
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
    QList<ActiveFault> faults;
    QDeadlineTimer staleAckAt{QDeadlineTimer::Forever};
    QDeadlineTimer announceAt{QDeadlineTimer::Forever};
    bool mute = false;
    QDeadlineTimer deafUntil; // expired unless DeafAt has struck
    bool chattering = false;
    QDeadlineTimer nextChatter;

    // Shared with the test's thread.
    mutable QMutex mutex;
    mutable QWaitCondition changed;
    QList<ReceivedImage> completed;
    QByteArray commandBytes;
    QByteArray currentProductReply;
    QByteArray input;
    QByteArray output;
    QList<int> packets;
    int queries = 0;
    bool reset = false;
    QStringList errors;
    bool stopping = false;
};
