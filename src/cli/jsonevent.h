// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QString>

class QJsonObject;

// Where the writing of one image stands.
struct ImageProgress
{
    QString name;
    int number = 1; // the image's place among those of the run, from 1
    int count = 1;  // how many images the run writes
    qint64 bytesSent = 0;
    qint64 size = 0;
};

// One event of lumetra-flash's JSON output besides the result object (UpdateRecord): a status
// line with its step's code, or how far an image has come. It is written by every run and read
// back by update --all from its workers, so its keys are spelled in toJson() and fromJson() alone.
struct JsonEvent
{
    enum class Kind { Other, Status, Progress, Result };

    Kind kind = Kind::Other;
    // Status: the step's code and its line.
    QString step;
    QString text;
    // Progress.
    ImageProgress image;
    int percent = 0;
    qint64 bytesPerSecond = 0;

    static JsonEvent status(const QString &step, const QString &text);
    static JsonEvent progress(const ImageProgress &image, int percent, qint64 bytesPerSecond);

    QJsonObject toJson() const;
    // Reads an event back; a result object is only named (UpdateRecord reads it), and anything
    // else is Other. Values of the wrong type count as missing: the object comes from another
    // process.
    static JsonEvent fromJson(const QJsonObject &object);
};
