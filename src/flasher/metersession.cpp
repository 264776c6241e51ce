// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "metersession.h"

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

MeterSession::MeterSession(SerialLink &serialLink, FirmwareFlasher &firmwareFlasher)
    : link(serialLink), flasher(firmwareFlasher)
{
}

bool MeterSession::isCompatible(const QString &productReply)
{
    return productReply.contains(productMarker);
}

bool MeterSession::open(const QString &portName)
{
    // The port name is not looked up again between attempts: every attempt uses this one.
    for (int attempt = 0; attempt < acquireAttempts; ++attempt) {
        link.acquire(deviceReadTimeoutMs, portName);
        link.drainInput();
        if (link.port.isOpen()) {
            flasher.attachLink(&link);
            return true;
        }
        link.pause(acquireRetryPauseMs);
    }
    return false;
}

QString MeterSession::identify()
{
    return link
        .sendCommand(QString(QLatin1Char(productQuery)), flasher.queryTimeoutMs, productReplyLines)
        .trimmed();
}

bool MeterSession::checkProduct()
{
    for (int attempt = 0; attempt < productCheckAttempts; ++attempt) {
        link.drainInput();
        flasher.deviceReply = identify();
        if (isCompatible(flasher.deviceReply))
            return true;
        link.pause(productCheckPauseMs);
    }
    return false;
}

bool MeterSession::flashImages(const QList<MeterImage> &images, const ImageReport &report)
{
    bool namesOk = true;
    for (const MeterImage &image : images) {
        if (!FirmwareFlasher::headerNameProblem(image.name, image.bytes.size()).isEmpty()) {
            report(ImageStep::BadName, image.name);
            namesOk = false;
        }
    }
    if (!namesOk)
        return false;

    bool ok = true;
    for (const MeterImage &image : images) {
        if (image.bytes.size() < smallestImageBytes) {
            report(ImageStep::Refused, image.name);
            ok = false;
            continue;
        }
        report(ImageStep::Writing, image.name);
        if (!flasher.flashImage(image.bytes, image.name)) {
            report(ImageStep::Failed, image.name);
            ok = false;
        }
    }
    return ok;
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
    while (link.holdCount > 0)
        link.release();
}
