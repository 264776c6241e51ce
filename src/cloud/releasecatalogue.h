// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "downloadfailure.h"
#include "releaseversion.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>

// A release catalogue read once from its bytes: the versions of each product object in
// catalogue order, and the questions asked of it (which versions are listed, a version's entry,
// whether an image is the published one). Only ReleaseTrust makes one from bytes, so a
// catalogue value in hand has always passed the build's trust check.
class ReleaseCatalogue
{
public:
    // The versions listed, and each listed version's entry by tag.
    struct Listing
    {
        QList<QString> tags;
        QMap<QString, ReleaseVersion> entries;

        // Adds one product object's versions: a version without a tag is left out, a beta or
        // pre-release only with showBetas, and a tag given twice is listed once, where the entry
        // kept (the later one) stands.
        void merge(const QList<ReleaseVersion> &versions, bool showBetas);
    };

    ReleaseCatalogue() = default;

    // The versions of each product object that contributes any, in catalogue order.
    const QList<QList<ReleaseVersion>> &products() const { return productVersions; }
    // The whole catalogue as listed, betas included or not.
    Listing listing(bool showBetas) const;
    // The entry under `tag` with betas listed; an empty one when there is none.
    ReleaseVersion entry(const QString &tag) const { return listing(true).entries.value(tag); }
    bool lists(const QString &tag) const { return listing(true).entries.contains(tag); }

private:
    friend class ReleaseTrust;
    // Nothing when the bytes are not a JSON array of product objects.
    static std::optional<ReleaseCatalogue> parse(const QByteArray &bytes);

    QList<QList<ReleaseVersion>> productVersions;
};
