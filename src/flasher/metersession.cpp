// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "metersession.h"

#include "deviceports.h"
#include "firmwareflasher.h"
#include "seriallink.h"

#include <QThread>

namespace {
// The read limit of the link while the workflow holds it: the longest the meter may take to say
// anything before "D".
constexpr int deviceReadTimeoutMs = 6000;
constexpr int closingCommandReadTimeoutMs = 1000;
constexpr unsigned long closingCommandPauseMs = 2;
constexpr int productReplyLines = 1;
const QString productMarker = QStringLiteral("DOVUr3");
} // namespace

MeterSession::MeterSession(SerialLink &serialLink, FirmwareFlasher &firmwareFlasher,
                           const QString &programName)
    : link(serialLink), flasher(firmwareFlasher), sleepLock(programName)
{
}

void MeterSession::setWaitHook(const std::function<void()> &hook)
{
    link.setWaitHook(hook);
    sleepLock.waitHook = hook;
}

bool MeterSession::isCompatible(const QString &productReply)
{
    return productReply.contains(productMarker);
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
        report(UpdateStep::of(UpdateStep::Kind::NoMeter));
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

MeterSession::Result MeterSession::install(const QString &portName, const QString &version,
                                           const QList<MeterImage> &images)
{
    // The meter is looked for again: it may have gone while the images were downloading.
    if (!isAttached(portName)) {
        report(UpdateStep::of(UpdateStep::Kind::NoMeter));
        release();
        return Result::MeterGone;
    }
    // Opened again, and drained, before anything is written.
    if (!open(portName)) {
        report(UpdateStep::portFailed(portName, link.openFailure(), link.openErrorText()));
        report(UpdateStep::of(UpdateStep::Kind::ReconnectFailed));
        release();
        return Result::PortFailed;
    }
    report(UpdateStep::of(UpdateStep::Kind::FlashingFirmware, version));
    const Result result = writeRelease(portName, images);
    release();
    return result;
}

MeterSession::Result MeterSession::writeRelease(const QString &portName,
                                                const QList<MeterImage> &images)
{
    // From the product check to "R": a computer that suspends mid-transfer leaves the meter
    // half-written. Without the lock the update runs all the same.
    if (!sleepLock.acquire()) {
        UpdateStep unguarded = UpdateStep::of(UpdateStep::Kind::NoSleepLock);
        unguarded.detail = sleepLock.reason();
        report(unguarded);
    }
    Result result = Result::NotCompatible;
    if (!checkProduct()) {
        report(UpdateStep::notCompatible(portName, flasher.productReply()));
    } else {
        report(UpdateStep::of(UpdateStep::Kind::Updating));
        result = flashImages(images);
        sendClosingCommand();
        if (result == Result::Complete) {
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
    return result;
}

bool MeterSession::open(const QString &portName)
{
    // The port name is not looked up again between attempts: every attempt uses this one. A
    // port that was just plugged in may not be ready, or may be briefly held by another program,
    // so failures are retried; but a port this user may not open stays closed however long one
    // waits, and the user learns why at once instead of after every attempt.
    int refusedInRow = 0;
    for (int attempt = 0; attempt < acquireAttempts; ++attempt) {
        link.acquire(deviceReadTimeoutMs, portName);
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
        .sendCommand(QString(QLatin1Char(productQuery)), flasher.timing().queryTimeoutMs,
                     productReplyLines)
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

MeterSession::Result MeterSession::flashImages(const QList<MeterImage> &images)
{
    imageFailures.clear();
    bool namesOk = true;
    for (const MeterImage &image : images) {
        if (!FirmwareFlasher::headerNameProblem(image.name, image.bytes.size()).isEmpty()) {
            report(UpdateStep::badName(image.name, image.bytes.size()));
            namesOk = false;
        }
    }
    if (!namesOk)
        return Result::BadName;

    bool refused = false;
    for (qsizetype index = 0; index < images.size(); ++index) {
        const MeterImage &image = images.at(index);
        if (image.bytes.size() < smallestImageBytes) {
            report(UpdateStep::imageRefused(image.name, smallestImageBytes));
            refused = true;
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
        return Result::ImageFailed;
    return refused ? Result::ImageRefused : Result::Complete;
}

void MeterSession::sendClosingCommand()
{
    if (link.acquire(closingCommandReadTimeoutMs, QString())) {
        QThread::msleep(closingCommandPauseMs);
        link.writeAndWait(QByteArray(1, closingCommand));
    }
    link.release();
}

void MeterSession::release()
{
    link.releaseAll();
}
