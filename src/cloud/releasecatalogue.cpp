// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "releasecatalogue.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

namespace {

const QString productKey = QStringLiteral("product");
const QString productName = QStringLiteral("Lumetra");
const QString versionsKey = QStringLiteral("versions");

// The catalogue as text up to its first NUL, so whatever the server appends after the document
// (padding of some servers) is ignored, while a NUL inside the document breaks it.
QJsonDocument catalogueDocument(const QByteArray &body)
{
    const qsizetype nul = body.indexOf('\0');
    const QString text = QString::fromUtf8(nul < 0 ? body : body.left(nul));
    return QJsonDocument::fromJson(text.toUtf8());
}

// A product object contributes its versions as soon as it has any key other than a "product"
// naming this device: that is how the catalogue has always been read.
bool contributesVersions(const QJsonObject &product)
{
    for (auto it = product.constBegin(); it != product.constEnd(); ++it) {
        if (it.key() != productKey || it.value() != QJsonValue(productName))
            return true;
    }
    return false;
}

} // namespace

void ReleaseCatalogue::Listing::merge(const QList<ReleaseVersion> &versions, bool showBetas)
{
    for (const ReleaseVersion &version : versions) {
        const QString tagName = version.tag();
        if (tagName.isEmpty() || (version.isHidden() && !showBetas))
            continue;
        // The item shown is the one whose files are downloaded, and the last item, which the
        // window preselects, names the same version as it always did.
        if (entries.contains(tagName))
            tags.removeAll(tagName);
        entries.insert(tagName, version);
        tags.append(tagName);
    }
}

ReleaseCatalogue::Listing ReleaseCatalogue::listing(bool showBetas) const
{
    Listing listed;
    for (const QList<ReleaseVersion> &versions : productVersions)
        listed.merge(versions, showBetas);
    return listed;
}

std::optional<ReleaseCatalogue> ReleaseCatalogue::parse(const QByteArray &bytes)
{
    const QJsonDocument document = catalogueDocument(bytes);
    if (!document.isArray())
        return std::nullopt;
    ReleaseCatalogue catalogue;
    const QJsonArray products = document.array();
    for (const QJsonValue &element : products) {
        const QJsonObject product = element.toObject();
        if (!contributesVersions(product))
            continue;
        QList<ReleaseVersion> versions;
        const QJsonArray array = product.value(versionsKey).toArray();
        for (const QJsonValue &version : array)
            versions.append(ReleaseVersion(version.toObject()));
        catalogue.productVersions.append(versions);
    }
    return catalogue;
}
