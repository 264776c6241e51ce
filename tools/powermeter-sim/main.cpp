// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// lumetra-powermeter-sim: plays the power meter's bootloader.
//
//   lumetra-powermeter-sim [options]
//       on a plain pseudo-terminal: prints the port to open, runs until "R" or SIGINT/SIGTERM
//   umockdev-wrapper lumetra-powermeter-sim --usb [options] -- <command> [args...]
//       presents the meter as a USB port /dev/ttyACM<pid>_0 (04d8:000a) and runs the command
//       against it; exits with the command's status
//
// Every received image is summarised on stdout and, with --save-dir, written there as a file.
#include "powermetersimulator.h"
#include "pseudoterminal.h"
#include "usbtestbed.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <pthread.h>

namespace {

constexpr int signalPollMs = 100;

struct FaultName
{
    const char *name;
    PowerMeterOptions::Fault fault;
};

const FaultName faultNames[] = {
    {"none", PowerMeterOptions::Fault::None},
    {"silent", PowerMeterOptions::Fault::Silent},
    {"never-ack-data", PowerMeterOptions::Fault::NeverAckData},
    {"nak-block-once", PowerMeterOptions::Fault::NakBlockOnce},
    {"nak-block-always", PowerMeterOptions::Fault::NakBlockAlways},
    {"cancel-at-block", PowerMeterOptions::Fault::CancelAtBlock},
    {"garbage-between-acks", PowerMeterOptions::Fault::GarbageBetweenAcks},
    {"crc-before-header-ack", PowerMeterOptions::Fault::CrcBeforeHeaderAck},
    {"slow-acks", PowerMeterOptions::Fault::SlowAcks},
    {"disappear-after-block", PowerMeterOptions::Fault::DisappearAfterBlock},
    {"no-crc-request", PowerMeterOptions::Fault::NoCrcRequest},
    {"chatter", PowerMeterOptions::Fault::Chatter},
    {"nak-block", PowerMeterOptions::Fault::NakBlock},
    {"drop-block", PowerMeterOptions::Fault::DropBlock},
    {"single-cancel", PowerMeterOptions::Fault::SingleCancel},
    {"lose-ack", PowerMeterOptions::Fault::LoseAck},
    {"late-ack", PowerMeterOptions::Fault::LateAck},
    {"garbage-ack", PowerMeterOptions::Fault::GarbageAck},
    {"nak-in-noise", PowerMeterOptions::Fault::NakInNoise},
    {"cancel-after-ack", PowerMeterOptions::Fault::CancelAfterAck},
    {"deaf-at", PowerMeterOptions::Fault::DeafAt},
    {"hang-at", PowerMeterOptions::Fault::HangAt},
    {"chatter-at", PowerMeterOptions::Fault::ChatterAt},
    {"unplug-at", PowerMeterOptions::Fault::UnplugAt},
};

// The packet a fault strikes: a number (0 the header, 1 the first data block), "eot" or "closing".
bool parseFaultBlock(const QString &text, int &block)
{
    if (text == QLatin1String("eot")) {
        block = PowerMeterOptions::endOfTransmission;
        return true;
    }
    if (text == QLatin1String("closing")) {
        block = PowerMeterOptions::closingBlock;
        return true;
    }
    bool ok = false;
    block = text.toInt(&ok);
    return ok && block >= 0;
}

void fail(const QString &message)
{
    std::fprintf(stderr, "lumetra-powermeter-sim: %s\n", qPrintable(message));
}

// A file name that stays inside the save directory whatever the device was sent.
QString safeFileName(const QString &name, int index, QSet<QString> &used)
{
    QString file = name;
    file.replace(QLatin1Char('/'), QLatin1Char('_'));
    file.replace(QLatin1Char('\\'), QLatin1Char('_'));
    if (file.isEmpty() || file == QLatin1String(".") || file == QLatin1String(".."))
        file = QStringLiteral("image-%1").arg(index);
    if (used.contains(file))
        file += QStringLiteral("-%1").arg(index);
    used.insert(file);
    return file;
}

bool report(const PowerMeterSimulator &simulator, const QString &saveDir)
{
    bool ok = true;
    QSet<QString> used;
    const QList<ReceivedImage> images = simulator.images();
    for (int i = 0; i < images.size(); ++i) {
        const ReceivedImage &image = images.at(i);
        const QByteArray digest =
            QCryptographicHash::hash(image.data, QCryptographicHash::Sha256).toHex();
        QString line = QStringLiteral("received %1: %2 bytes, sha256 %3")
                           .arg(image.name)
                           .arg(image.data.size())
                           .arg(QString::fromLatin1(digest));
        if (!saveDir.isEmpty()) {
            const QString path = QDir(saveDir).filePath(safeFileName(image.name, i, used));
            QFile file(path);
            if (file.open(QIODevice::WriteOnly) && file.write(image.data) == image.data.size()) {
                line += QStringLiteral(", saved as %1").arg(path);
            } else {
                fail(QStringLiteral("cannot write %1").arg(path));
                ok = false;
            }
        }
        std::printf("%s\n", qPrintable(line));
    }
    for (const QString &error : simulator.protocolErrors())
        fail(QStringLiteral("protocol error: %1").arg(error));
    if (simulator.resetReceived())
        std::printf("reset command received\n");
    std::fflush(stdout);
    return ok;
}

int runOnPseudoTerminal(const PowerMeterOptions &options, const QString &saveDir, bool keepRunning)
{
    PseudoTerminal terminal;
    if (!terminal.open()) {
        fail(QStringLiteral("cannot open a pseudo-terminal"));
        return 1;
    }
    // Ending on a signal must still report what was received, so the signals are taken
    // synchronously rather than by a handler.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

    const QString slavePath = terminal.slavePath();
    PowerMeterSimulator simulator(terminal.takeMasterFd(), options,
                                  PowerMeterSimulator::Ownership::Owned);
    simulator.start();
    std::printf("%s\n", qPrintable(slavePath));
    std::fflush(stdout);

    const timespec poll{0, signalPollMs * 1000 * 1000};
    for (;;) {
        if (sigtimedwait(&endSignals, nullptr, &poll) > 0)
            break;
        if (!keepRunning && simulator.resetReceived())
            break;
    }
    simulator.stop();
    return report(simulator, saveDir) ? 0 : 1;
}

int runOnUsb(const PowerMeterOptions &options, const QString &saveDir, const QStringList &command)
{
    if (command.isEmpty()) {
        fail(QStringLiteral("--usb needs a command after --"));
        return 2;
    }
    if (!UsbTestbed::inMockEnvironment()) {
        fail(QStringLiteral("--usb must run under umockdev-wrapper"));
        return 2;
    }
    UsbTestbed testbed;
    const QString tty = UsbTestbed::processTtyName();
    if (!testbed.addMeter(tty)) {
        fail(QStringLiteral("cannot add the meter to the USB testbed"));
        return 2;
    }
    // The testbed owns the master end; the simulator only borrows it.
    PowerMeterSimulator simulator(testbed.masterFd(tty), options);
    simulator.start();

    // The child finds the testbed through the environment umockdev set up for this process.
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.setInputChannelMode(QProcess::ForwardedInputChannel);
    child.start(command.first(), command.mid(1));
    if (!child.waitForStarted(-1)) {
        fail(QStringLiteral("cannot start %1: %2").arg(command.first(), child.errorString()));
        return 127;
    }
    child.waitForFinished(-1);
    simulator.stop();
    const bool saved = report(simulator, saveDir);
    if (child.exitStatus() != QProcess::NormalExit) {
        fail(QStringLiteral("%1 was ended by a signal or crashed").arg(command.first()));
        return 1;
    }
    return saved ? child.exitCode() : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lumetra-powermeter-sim"));

    QStringList faultList;
    for (const FaultName &entry : faultNames)
        faultList.append(QString::fromLatin1(entry.name));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Plays the power meter's bootloader on a pseudo-terminal, or (--usb, under "
                       "umockdev-wrapper) as a USB port /dev/ttyACM<pid>_0 for a command."));
    parser.addHelpOption();
    const QCommandLineOption usbOption(
        QStringLiteral("usb"),
        QStringLiteral(
            "Present the meter as /dev/ttyACM<pid>_0 (04d8:000a) and run the command after --."));
    const QCommandLineOption saveDirOption(QStringLiteral("save-dir"),
                                           QStringLiteral("Write every received image into <dir>."),
                                           QStringLiteral("dir"));
    const QCommandLineOption replyOption(
        QStringLiteral("product-reply"),
        QStringLiteral("Answer to \"P\" (a carriage return is added when missing)."),
        QStringLiteral("text"));
    const QCommandLineOption faultOption(
        QStringLiteral("fault"),
        QStringLiteral("Misbehave: %1.").arg(faultList.join(QStringLiteral(", "))),
        QStringLiteral("name"), QStringLiteral("none"));
    const QCommandLineOption blockOption(
        QStringLiteral("fault-block"),
        QStringLiteral("Packet a block fault hits: 0 the header, 1 the first data block, \"eot\" "
                       "or \"closing\"."),
        QStringLiteral("k"), QStringLiteral("1"));
    const QCommandLineOption countOption(
        QStringLiteral("fault-count"),
        QStringLiteral("How often a repeatable fault hits its packet; -1 = every time."),
        QStringLiteral("n"), QStringLiteral("1"));
    const QCommandLineOption durationOption(QStringLiteral("fault-ms"),
                                            QStringLiteral("How long deaf-at lasts, in ms."),
                                            QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption imageOption(
        QStringLiteral("fault-image"),
        QStringLiteral("Batch (0 = first) the fault applies to; -1 = every batch."),
        QStringLiteral("n"), QStringLiteral("-1"));
    const QCommandLineOption delayOption(
        QStringLiteral("ack-delay"),
        QStringLiteral("Delay of every ACK for slow-acks, of one for late-ack, in ms."),
        QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption keepOption(
        QStringLiteral("keep-running"),
        QStringLiteral("On a pseudo-terminal, do not stop at \"R\"."));
    parser.addOptions({usbOption, saveDirOption, replyOption, faultOption, blockOption, countOption,
                       durationOption, imageOption, delayOption, keepOption});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("With --usb: the command to run, after --."),
                                 QStringLiteral("[-- command [args...]]"));
    parser.process(app);

    PowerMeterOptions options;
    if (parser.isSet(replyOption)) {
        options.productReply = parser.value(replyOption).toUtf8();
        if (!options.productReply.endsWith('\r'))
            options.productReply.append('\r');
    }
    const QString faultName = parser.value(faultOption);
    const auto fault =
        std::find_if(std::begin(faultNames), std::end(faultNames), [&](const FaultName &entry) {
            return faultName == QLatin1String(entry.name);
        });
    if (fault == std::end(faultNames)) {
        fail(QStringLiteral("unknown fault %1; one of %2")
                 .arg(faultName, faultList.join(QStringLiteral(", "))));
        return 2;
    }
    options.fault = fault->fault;
    bool numbersOk = parseFaultBlock(parser.value(blockOption), options.faultBlock);
    bool ok = false;
    options.faultCount = parser.value(countOption).toInt(&ok);
    numbersOk = numbersOk && ok;
    options.faultDurationMs = parser.value(durationOption).toInt(&ok);
    numbersOk = numbersOk && ok;
    options.faultImage = parser.value(imageOption).toInt(&ok);
    numbersOk = numbersOk && ok;
    options.ackDelayMs = parser.value(delayOption).toInt(&ok);
    numbersOk = numbersOk && ok;
    if (!numbersOk) {
        fail(QStringLiteral("--fault-block takes a packet; --fault-count, --fault-ms, "
                            "--fault-image and --ack-delay take whole numbers"));
        return 2;
    }

    const QString saveDir = parser.value(saveDirOption);
    if (!saveDir.isEmpty() && !QDir().mkpath(saveDir)) {
        fail(QStringLiteral("cannot create %1").arg(saveDir));
        return 2;
    }
    if (parser.isSet(usbOption))
        return runOnUsb(options, saveDir, parser.positionalArguments());
    if (!parser.positionalArguments().isEmpty()) {
        fail(QStringLiteral("a command is only run with --usb"));
        return 2;
    }
    return runOnPseudoTerminal(options, saveDir, parser.isSet(keepOption));
}
