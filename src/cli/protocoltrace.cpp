// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "protocoltrace.h"

#include "bootloaderprotocol.h"
#include "reporter.h"

namespace {

using Protocol = BootloaderProtocol;
constexpr char firstPrintable = ' ';
constexpr char lastPrintable = '~';

QString byteName(quint8 byte)
{
    const QString name = Protocol::byteName(byte);
    return name.isEmpty() ? QStringLiteral("0x%1").arg(byte, 2, 16, QLatin1Char('0')) : name;
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
    if (const Protocol::Packet parsed = Protocol::parsePacket(bytes); parsed.number >= 0)
        return packet(parsed.number, parsed.payload);
    if (bytes.size() != 1)
        return QStringLiteral("> %1 bytes").arg(bytes.size());
    switch (bytes.at(0)) {
    case Protocol::productQuery:
        return QStringLiteral("> P (product query)");
    case Protocol::downloadCommand:
        stage = Stage::Header;
        return QStringLiteral("> D (download)");
    case Protocol::closingCommand:
        stage = Stage::Commands;
        return QStringLiteral("> R (closing command)");
    case Protocol::eot:
        stage = Stage::Closing;
        return QStringLiteral("> EOT (end of transmission)");
    default:
        return QStringLiteral("> ") + byteName(quint8(bytes.at(0)));
    }
}

QString ProtocolTrace::packet(int block, const QByteArray &payload)
{
    // A header block 0 again before any data block is the header resent.
    if (block == 0 && (stage == Stage::Header || (stage == Stage::Data && !dataSent))) {
        stage = Stage::Data;
        dataSent = false;
        return QStringLiteral("> block 0, header: name %1, %2 bytes")
            .arg(quoted(Protocol::headerName(payload)),
                 QString::fromLatin1(Protocol::headerSize(payload)));
    }
    if (stage == Stage::Closing && block == 0) {
        stage = Stage::Commands;
        return QStringLiteral("> block 0, closing");
    }
    dataSent = true;
    return QStringLiteral("> block %1").arg(block);
}

QString ProtocolTrace::received(const QByteArray &bytes) const
{
    // The flasher reads control bytes one at a time; replies come as text.
    if (bytes.size() == 1)
        return QStringLiteral("< ") + byteName(quint8(bytes.at(0)));
    return QStringLiteral("< ") + quoted(bytes);
}
