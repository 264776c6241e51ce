// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "protocoltrace.h"

#include "firmwareflasher.h"
#include "metersession.h"
#include "reporter.h"

namespace {

constexpr int packetNumberOffset = 1;
constexpr int payloadOffset = 3;
constexpr int payloadSize = FirmwareFlasher::blockSize;
constexpr char firstPrintable = ' ';
constexpr char lastPrintable = '~';

QString byteName(quint8 byte)
{
    switch (byte) {
    case FirmwareFlasher::ack:
        return QStringLiteral("ACK");
    case FirmwareFlasher::nak:
        return QStringLiteral("NAK");
    case FirmwareFlasher::cancel:
        return QStringLiteral("CAN");
    case FirmwareFlasher::crcRequest:
        return QStringLiteral("C");
    case FirmwareFlasher::eot:
        return QStringLiteral("EOT");
    default:
        return QStringLiteral("0x%1").arg(byte, 2, 16, QLatin1Char('0'));
    }
}

// Text as a C string literal, so that line ends and stray bytes stay visible.
QString quoted(const QByteArray &bytes)
{
    QString text = QStringLiteral("\"");
    for (const char byte : bytes) {
        if (byte == '\r')
            text += QLatin1String("\\r");
        else if (byte == '\n')
            text += QLatin1String("\\n");
        else if (byte >= firstPrintable && byte <= lastPrintable && byte != '"' && byte != '\\')
            text += QLatin1Char(byte);
        else
            text += QStringLiteral("\\x%1").arg(quint8(byte), 2, 16, QLatin1Char('0'));
    }
    return text + QLatin1Char('"');
}

} // namespace

ProtocolTrace::ProtocolTrace(Reporter &output) : reporter(output)
{
    clock.start();
}

void ProtocolTrace::record(SerialLink::Direction direction, const QByteArray &bytes)
{
    const qint64 nowMs = clock.elapsed();
    QString line = direction == SerialLink::Direction::ToDevice ? sent(bytes) : received(bytes);
    if (direction == SerialLink::Direction::ToDevice)
        lastWriteMs = nowMs;
    else if (lastWriteMs >= 0)
        line += QStringLiteral("  after %1 ms").arg(nowMs - lastWriteMs);
    reporter.trace(QStringLiteral("%1  %2").arg(nowMs / 1000.0, 9, 'f', 3).arg(line));
}

QString ProtocolTrace::sent(const QByteArray &bytes)
{
    if (bytes.size() == FirmwareFlasher::packetSize && quint8(bytes.at(0)) == FirmwareFlasher::soh)
        return packet(bytes);
    if (bytes.size() != 1)
        return QStringLiteral("> %1 bytes").arg(bytes.size());
    switch (bytes.at(0)) {
    case MeterSession::productQuery:
        return QStringLiteral("> P (product query)");
    case FirmwareFlasher::downloadCommand:
        stage = Stage::Header;
        return QStringLiteral("> D (download)");
    case MeterSession::closingCommand:
        stage = Stage::Commands;
        return QStringLiteral("> R (closing command)");
    case FirmwareFlasher::eot:
        stage = Stage::Closing;
        return QStringLiteral("> EOT (end of transmission)");
    default:
        return QStringLiteral("> ") + byteName(quint8(bytes.at(0)));
    }
}

QString ProtocolTrace::packet(const QByteArray &bytes)
{
    const int block = quint8(bytes.at(packetNumberOffset));
    const QByteArray payload = bytes.mid(payloadOffset, payloadSize);
    if (stage == Stage::Header && block == 0) {
        stage = Stage::Data;
        const QList<QByteArray> fields = payload.split('\0');
        return QStringLiteral("> block 0, header: name %1, %2 bytes")
            .arg(quoted(fields.value(0)), QString::fromLatin1(fields.value(1)));
    }
    if (stage == Stage::Closing && block == 0) {
        stage = Stage::Commands;
        return QStringLiteral("> block 0, closing");
    }
    return QStringLiteral("> block %1").arg(block);
}

QString ProtocolTrace::received(const QByteArray &bytes) const
{
    // The flasher reads control bytes one at a time; replies come as text.
    if (bytes.size() == 1)
        return QStringLiteral("< ") + byteName(quint8(bytes.at(0)));
    return QStringLiteral("< ") + quoted(bytes);
}
