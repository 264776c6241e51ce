// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "jsonevent.h"

#include <QJsonObject>

namespace Key {
const QLatin1String event("event");
const QLatin1String step("step");
const QLatin1String text("text");
const QLatin1String image("image");
const QLatin1String imageNumber("imageNumber");
const QLatin1String imageCount("imageCount");
const QLatin1String percent("percent");
const QLatin1String bytes("bytes");
const QLatin1String total("total");
const QLatin1String bytesPerSecond("bytesPerSecond");
} // namespace Key

namespace Name {
const QLatin1String status("status");
const QLatin1String progress("progress");
const QLatin1String result("result");
} // namespace Name

JsonEvent JsonEvent::status(const QString &step, const QString &text)
{
    JsonEvent event;
    event.kind = Kind::Status;
    event.step = step;
    event.text = text;
    return event;
}

JsonEvent JsonEvent::progress(const ImageProgress &image, int percent, qint64 bytesPerSecond)
{
    JsonEvent event;
    event.kind = Kind::Progress;
    event.image = image;
    event.percent = percent;
    event.bytesPerSecond = bytesPerSecond;
    return event;
}

QJsonObject JsonEvent::toJson() const
{
    switch (kind) {
    case Kind::Status:
        return {{Key::event, Name::status}, {Key::step, step}, {Key::text, text}};
    case Kind::Progress:
        return {{Key::event, Name::progress},     {Key::image, image.name},
                {Key::imageNumber, image.number}, {Key::imageCount, image.count},
                {Key::percent, percent},          {Key::bytes, image.bytesSent},
                {Key::total, image.size},         {Key::bytesPerSecond, bytesPerSecond}};
    case Kind::Result:
        return {{Key::event, Name::result}};
    case Kind::Other:
        break;
    }
    return {};
}

JsonEvent JsonEvent::fromJson(const QJsonObject &object)
{
    const QString name = object.value(Key::event).toString();
    JsonEvent event;
    if (name == Name::status) {
        event = status(object.value(Key::step).toString(), object.value(Key::text).toString());
    } else if (name == Name::progress) {
        event.kind = Kind::Progress;
        event.image.name = object.value(Key::image).toString();
        event.image.number = object.value(Key::imageNumber).toInt();
        event.image.count = object.value(Key::imageCount).toInt();
        event.image.bytesSent = object.value(Key::bytes).toInteger();
        event.image.size = object.value(Key::total).toInteger();
        event.percent = object.value(Key::percent).toInt();
        event.bytesPerSecond = object.value(Key::bytesPerSecond).toInteger();
    } else if (name == Name::result) {
        event.kind = Kind::Result;
    }
    return event;
}
