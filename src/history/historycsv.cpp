// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "historycsv.h"

#include <QStringList>

namespace {

const QString lineEnd = QStringLiteral("\r\n");
const QLatin1Char separator(',');
const QLatin1Char quote('"');
// What a spreadsheet takes for the start of a formula, or a cell of its own.
const QString formulaStarts = QStringLiteral("=+-@\t\r");
const QLatin1Char textMarker('\'');

QString imagesText(const QList<ImageRecord> &images)
{
    QStringList texts;
    for (const ImageRecord &image : images)
        texts.append(QStringLiteral("%1 %2 %3 %4")
                         .arg(image.name)
                         .arg(image.bytes)
                         .arg(image.sha256, image.confirmed ? QStringLiteral("confirmed")
                                                            : QStringLiteral("unconfirmed")));
    return texts.join(QLatin1String("; "));
}

QString joined(const QStringList &fields)
{
    QStringList quoted;
    for (const QString &text : fields)
        quoted.append(HistoryCsv::field(text));
    return quoted.join(separator) + lineEnd;
}

} // namespace

QString HistoryCsv::field(const QString &text)
{
    QString value = text;
    if (!value.isEmpty() && formulaStarts.contains(value.front()))
        value.prepend(textMarker);
    value.replace(quote, QLatin1String("\"\""));
    return quote + value + quote;
}

QString HistoryCsv::header()
{
    return joined({"started_at", "ended_at", "program", "port", "serial_number", "hardware_id",
                   "version", "branch", "source", "key_id", "signed_at", "result", "exit_code",
                   "reason", "detail", "seconds", "message", "images"});
}

QString HistoryCsv::row(const UpdateRecord &record)
{
    return joined({UpdateRecord::timeText(record.startedAt), UpdateRecord::timeText(record.endedAt),
                   UpdateRecord::programName(record.program), record.port, record.serialNumber,
                   record.hardwareId, record.version, record.branch, record.source, record.keyId,
                   UpdateRecord::timeText(record.signedAt), UpdateRecord::resultName(record.result),
                   QString::number(record.exitCode), record.reason, record.detail,
                   record.seconds ? QString::number(*record.seconds, 'f', 1) : QString(),
                   record.message, imagesText(record.images)});
}
