// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "metersession.h"

#include "bootloaderprotocol.h"
#include "deviceports.h"
#include "firmwareflasher.h"
#include "seriallink.h"

#include <QThread>

namespace {
constexpr int closingCommandReadTimeoutMs = 1000;
constexpr unsigned long closingCommandPauseMs = 2;
constexpr int productReplyLines = 1;
} // namespace

MeterSession::MeterSession(SerialLink &serialLink, FirmwareFlasher &firmwareFlasher,
                           const QString &programName)
    : link(serialLink), flasher(firmwareFlasher), sleepLock(programName)
{
}

void MeterSession::setWaitHook(const std::function<void()> &hook)
{
    link.setWaitHook(hook);
    sleepLock.setWaitHook(hook);
}

bool MeterSession::isCompatible(const QString &productReply)
{
    return BootloaderProtocol::isCompatible(productReply);
}

bool MeterSession::isAttached(const QString &portName)
{
    return !portName.isEmpty() &&
           DevicePorts::names(DevicePorts::find(DevicePorts::deviceIdentifiers()))
               .contains(portName);
}

void MeterSession::report(const UpdateStep &step) const
{
    if (reportStep)
        reportStep(step);
}

std::optional<QString> MeterSession::connect(const QString &portName)
{
    // Another meter is never taken in place of the one chosen.
    if (!isAttached(portName)) {
        report(UpdateStep::noMeter(portName));
        return std::nullopt;
    }
    if (!open(portName)) {
        report(UpdateStep::portFailed(portName, link.openFailure(), link.openErrorText()));
        return std::nullopt;
    }
    const QString hardwareId = identify();
    // Without a meter that identifies itself there is nothing to ask the server for.
    if (!isCompatible(hardwareId)) {
        report(UpdateStep::notCompatible(portName, hardwareId));
        return std::nullopt;
    }
    return hardwareId;
}

UpdateStep MeterSession::install(const QString &portName, const QString &version,
                                 const QList<MeterImage> &images)
{
    // The meter is looked for again: it may have gone while the images were downloading.
    if (!isAttached(portName)) {
        const UpdateStep gone = UpdateStep::noMeter(portName);
        report(gone);
        release();
        return gone;
    }
    // Opened again, and drained, before anything is written.
    if (!open(portName)) {
        const UpdateStep failed =
            UpdateStep::portFailed(portName, link.openFailure(), link.openErrorText());
        report(failed);
        report(UpdateStep::of(UpdateStep::Kind::ReconnectFailed));
        release();
        return failed;
    }
    report(UpdateStep::of(UpdateStep::Kind::FlashingFirmware, version));
    const UpdateStep outcome = writeRelease(portName, images);
    release();
    return outcome;
}

UpdateStep MeterSession::writeRelease(const QString &portName, const QList<MeterImage> &images)
{
    // From the product check to "R": a computer that suspends mid-transfer leaves the meter
    // half-written. Without the lock the update runs all the same.
    if (!sleepLock.acquire()) {
        UpdateStep unguarded = UpdateStep::of(UpdateStep::Kind::NoSleepLock);
        unguarded.detail = sleepLock.reason();
        report(unguarded);
    }
    UpdateStep outcome;
    if (!checkProduct()) {
        outcome = UpdateStep::notCompatible(portName, flasher.productReply());
        report(outcome);
    } else {
        report(UpdateStep::of(UpdateStep::Kind::Updating));
        outcome = flashImages(images);
        sendClosingCommand();
        if (!outcome.isFailure()) {
            report(UpdateStep::of(UpdateStep::Kind::Complete));
        } else {
            UpdateStep failed = UpdateStep::of(UpdateStep::Kind::Failed);
            QStringList why;
            for (const UpdateStep &image : std::as_const(imageFailures))
                why.append(image.subject + QStringLiteral(": ") + image.detail);
            if (!imageFailures.isEmpty())
                failed.reasonCode = imageFailures.first().reasonCode;
            failed.reason = failed.detail = why.join(QStringLiteral("; "));
            report(failed);
        }
    }
    sleepLock.release();
    return outcome;
}

bool MeterSession::open(const QString &portName)
{
    // The port name is not looked up again between attempts: every attempt uses this one. A
    // port that was just plugged in may not be ready, or may be briefly held by another program,
    // so failures are retried; but a port this user may not open stays closed however long one
    // waits, and the user learns why at once instead of after every attempt.
    int refusedInRow = 0;
    for (int attempt = 0; attempt < acquireAttempts; ++attempt) {
        // The read limit of the link while the workflow holds it: the longest the meter may take
        // to say anything before "D".
        link.acquire(BootloaderProtocol::lineLimitMs, portName);
        link.drainInput();
        if (link.isOpen()) {
            flasher.attachLink(&link);
            return true;
        }
        refusedInRow =
            link.openFailure() == SerialLink::OpenFailure::NoAccess ? refusedInRow + 1 : 0;
        if (refusedInRow >= accessRefusalsToGiveUp)
            return false;
        link.pause(limits.acquireRetryPauseMs);
    }
    return false;
}

QString MeterSession::identify()
{
    return link
        .sendCommand(QString(QLatin1Char(BootloaderProtocol::productQuery)),
                     flasher.timing().queryTimeoutMs, productReplyLines)
        .trimmed();
}

bool MeterSession::checkProduct()
{
    for (int attempt = 0; attempt < productCheckAttempts; ++attempt) {
        link.drainInput();
        flasher.setProductReply(identify());
        if (isCompatible(flasher.productReply()))
            return true;
        link.pause(limits.productCheckPauseMs);
    }
    return false;
}

UpdateStep MeterSession::flashImages(const QList<MeterImage> &images)
{
    imageFailures.clear();
    QList<UpdateStep> badNames;
    for (const MeterImage &image : images) {
        if (!BootloaderProtocol::headerNameProblem(image.name, image.bytes.size()).isEmpty()) {
            badNames.append(UpdateStep::badName(image.name, image.bytes.size()));
            report(badNames.last());
        }
    }
    if (!badNames.isEmpty())
        return UpdateStep::combined(badNames);

    QList<UpdateStep> refused;
    for (qsizetype index = 0; index < images.size(); ++index) {
        const MeterImage &image = images.at(index);
        if (image.bytes.size() < smallestImageBytes) {
            refused.append(UpdateStep::imageRefused(image.name, smallestImageBytes));
            report(refused.last());
            continue;
        }
        UpdateStep writing = UpdateStep::of(UpdateStep::Kind::FlashingImage, image.name);
        writing.image = int(index + 1);
        writing.images = int(images.size());
        report(writing);
        if (!flasher.flashImage(image.bytes, image.name)) {
            imageFailures.append(UpdateStep::imageFailed(image.name, flasher.lastFailure()));
            report(imageFailures.last());
        }
    }
    // A meter left half-written matters more than an image the server failed to send.
    if (!imageFailures.isEmpty())
        return UpdateStep::combined(imageFailures);
    if (!refused.isEmpty())
        return UpdateStep::combined(refused);
    return UpdateStep::of(UpdateStep::Kind::Complete);
}

void MeterSession::sendClosingCommand()
{
    if (link.acquire(closingCommandReadTimeoutMs, QString())) {
        QThread::msleep(closingCommandPauseMs);
        link.writeAndWait(QByteArray(1, BootloaderProtocol::closingCommand));
    }
    link.release();
}

void MeterSession::release()
{
    link.releaseAll();
}
