// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "downloadfailure.h"

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>

// One version of the release catalogue: every member of its JSON object as text, and the rules
// that read them (which flags hide it, which members name firmware files and for which meter,
// which checksum belongs to a file). Front ends ask these questions here rather than reading
// the catalogue's keys themselves, so the catalogue's vocabulary has one home.
class ReleaseVersion
{
public:
    ReleaseVersion() = default;
    // Every member value as text; anything that is not a JSON string reads as "". Missing flags
    // read as "" and are kept that way in the entry.
    explicit ReleaseVersion(const QJsonObject &version);

    // The tag the version is listed under; "" when it has none that can be shown and chosen.
    QString tag() const;
    // Only the exact string "true" sets a flag; "True", " true" or a JSON boolean do not.
    bool isPrerelease() const;
    bool isBeta() const;
    // Listed only when pre-releases and betas are asked for.
    bool isHidden() const { return isPrerelease() || isBeta(); }

    // Every member that names a firmware file, whatever meter it is for: key to file value.
    QMap<QString, QString> firmware() const;
    // The firmware keys for a meter that identifies as hardwareId, in key order. The identifier
    // is a copy because "App", which the application firmware adds, is stripped from it.
    QList<QString> firmwareKeys(QString hardwareId) const;
    // The hardware identifiers that have firmware files in this version, in key order.
    QList<QString> hardwareIds() const;
    // The SHA-256 the version publishes for the file under this firmware key, as published;
    // nothing when it publishes none.
    std::optional<QString> checksum(const QString &key) const;
    // The first firmware member, in key order and for whatever meter, that publishes no
    // checksum; "" when every one does.
    QString firmwareWithoutChecksum() const;
    // Why `bytes` may not be used as the file under `key`: they differ from the checksum the
    // version publishes for it. No failure when they match or none is published.
    DownloadFailure imageProblem(const QString &key, const QByteArray &bytes) const;
    // The value of a member, "" when there is none.
    QString value(const QString &key) const { return fields.value(key); }
    const QMap<QString, QString> &members() const { return fields; }

    // The version as lumetra-flash lists it: its tag, its two flags as booleans and its
    // firmware members. Scripts read these keys, so they never change once published.
    QJsonObject toJson() const;

private:
    QMap<QString, QString> fields;
};
