// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "updaterecord.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>

namespace {

constexpr double millisecondsPerSecond = 1000.0;
const QString timeFormat = QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz'Z'");

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QJsonValue timeOrNull(const QDateTime &time)
{
    return time.isValid() ? QJsonValue(UpdateRecord::timeText(time)) : QJsonValue();
}

QString textOf(const QJsonObject &object, QLatin1String key)
{
    return object.value(key).toString();
}

QJsonArray imageList(const QList<ImageRecord> &images)
{
    QJsonArray list;
    for (const ImageRecord &image : images) {
        list.append(QJsonObject{{"name", image.name},
                                {"bytes", image.bytes},
                                {"sha256", image.sha256},
                                {"confirmed", image.confirmed}});
    }
    return list;
}

QList<ImageRecord> imagesFrom(const QJsonValue &value)
{
    QList<ImageRecord> images;
    const QJsonArray list = value.toArray();
    for (const QJsonValue &item : list) {
        const QJsonObject image = item.toObject();
        images.append({textOf(image, QLatin1String("name")),
                       image.value(QLatin1String("bytes")).toInteger(),
                       textOf(image, QLatin1String("sha256")),
                       image.value(QLatin1String("confirmed")).toBool()});
    }
    return images;
}

} // namespace

bool ImageRecord::operator==(const ImageRecord &other) const
{
    return name == other.name && bytes == other.bytes && sha256 == other.sha256 &&
           confirmed == other.confirmed;
}

UpdateRecord UpdateRecord::started(Program program)
{
    UpdateRecord record;
    record.program = program;
    record.startedAt = QDateTime::currentDateTimeUtc();
    return record;
}

void UpdateRecord::end(int code)
{
    exitCode = code;
    result = code == 0 ? Result::Complete : Result::Failed;
    endedAt = QDateTime::currentDateTimeUtc();
    if (!seconds && startedAt.isValid())
        seconds = double(startedAt.msecsTo(endedAt)) / millisecondsPerSecond;
}

QJsonObject UpdateRecord::toJson() const
{
    const bool success = ok();
    return {{"event", "result"},
            {"exitCode", exitCode},
            {"ok", success},
            {"result", resultName(result)},
            {"message", message},
            {"port", textOrNull(port)},
            {"serialNumber", textOrNull(serialNumber)},
            {"hardwareId", textOrNull(hardwareId)},
            {"version", textOrNull(version)},
            {"branch", textOrNull(branch)},
            {"source", textOrNull(source)},
            {"keyId", textOrNull(keyId)},
            {"signedAt", timeOrNull(signedAt)},
            {"images", imageList(images)},
            {"seconds", seconds ? QJsonValue(*seconds) : QJsonValue()},
            {"reason", success ? QJsonValue() : QJsonValue(reason)},
            {"detail", success ? QJsonValue() : QJsonValue(detail)},
            {"startedAt", timeOrNull(startedAt)},
            {"endedAt", timeOrNull(endedAt)},
            {"program", programName(program)}};
}

UpdateRecord UpdateRecord::fromJson(const QJsonObject &object)
{
    UpdateRecord record;
    record.exitCode = object.value(QLatin1String("exitCode")).toInt();
    const bool success = object.value(QLatin1String("ok")).toBool();
    // A result object without the result's name (an older lumetra-flash) still says whether it
    // went well.
    record.result = resultNamed(textOf(object, QLatin1String("result")))
                        .value_or(success ? Result::Complete : Result::Failed);
    record.message = textOf(object, QLatin1String("message"));
    record.port = textOf(object, QLatin1String("port"));
    record.serialNumber = textOf(object, QLatin1String("serialNumber"));
    record.hardwareId = textOf(object, QLatin1String("hardwareId"));
    record.version = textOf(object, QLatin1String("version"));
    record.branch = textOf(object, QLatin1String("branch"));
    record.source = textOf(object, QLatin1String("source"));
    record.keyId = textOf(object, QLatin1String("keyId"));
    record.signedAt = timeFrom(textOf(object, QLatin1String("signedAt")));
    record.images = imagesFrom(object.value(QLatin1String("images")));
    const QJsonValue seconds = object.value(QLatin1String("seconds"));
    if (seconds.isDouble())
        record.seconds = seconds.toDouble();
    record.reason = textOf(object, QLatin1String("reason"));
    record.detail = textOf(object, QLatin1String("detail"));
    record.startedAt = timeFrom(textOf(object, QLatin1String("startedAt")));
    record.endedAt = timeFrom(textOf(object, QLatin1String("endedAt")));
    record.program =
        programNamed(textOf(object, QLatin1String("program"))).value_or(Program::Terminal);
    return record;
}

QString UpdateRecord::resultName(Result result)
{
    switch (result) {
    case Result::Complete:
        return QStringLiteral("complete");
    case Result::Failed:
        return QStringLiteral("failed");
    case Result::Interrupted:
        break;
    }
    return QStringLiteral("interrupted");
}

std::optional<UpdateRecord::Result> UpdateRecord::resultNamed(const QString &name)
{
    for (Result result : {Result::Complete, Result::Failed, Result::Interrupted}) {
        if (resultName(result) == name)
            return result;
    }
    return std::nullopt;
}

QString UpdateRecord::programName(Program program)
{
    switch (program) {
    case Program::Window:
        return QStringLiteral("window");
    case Program::Bench:
        return QStringLiteral("bench");
    case Program::Terminal:
        break;
    }
    return QStringLiteral("terminal");
}

std::optional<UpdateRecord::Program> UpdateRecord::programNamed(const QString &name)
{
    for (Program program : {Program::Window, Program::Terminal, Program::Bench}) {
        if (programName(program) == name)
            return program;
    }
    return std::nullopt;
}

QString UpdateRecord::timeText(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(timeFormat) : QString();
}

QDateTime UpdateRecord::timeFrom(const QString &text)
{
    if (text.isEmpty())
        return {};
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    return time.isValid() ? time.toUTC() : QDateTime();
}

bool UpdateRecord::operator==(const UpdateRecord &other) const
{
    return startedAt == other.startedAt && endedAt == other.endedAt && program == other.program &&
           port == other.port && serialNumber == other.serialNumber &&
           hardwareId == other.hardwareId && version == other.version && branch == other.branch &&
           source == other.source && keyId == other.keyId && signedAt == other.signedAt &&
           images == other.images && result == other.result && exitCode == other.exitCode &&
           message == other.message && reason == other.reason && detail == other.detail &&
           seconds == other.seconds;
}
