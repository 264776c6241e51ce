// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "testsigningkey.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QTemporaryDir>

// One firmware image of a version, as a release publishes it.
struct ReleaseImage
{
    QString key; // the catalogue key, "<hardware id>..._firmware"
    QByteArray bytes;
    QString sha256 = {}; // published as "<key>_sha256" unless null
};
// Versions by tag, in catalogue order, each with its images. A tag ending in "-beta" is published
// as a beta; none is a pre-release.
using ReleaseVersions = QList<QPair<QString, QList<ReleaseImage>>>;

// A release folder in a temporary directory, removed with the object: tests write the catalogue
// and firmware files each case needs and point a ReleaseServer at path().
class ReleaseFolder
{
public:
    ReleaseFolder();

    QString path() const { return dir.path(); }

    // <path>/<branch>/catalogue.json; the branch may be several segments ("labs/rf-team").
    bool writeCatalogue(const QString &branch, const QByteArray &json);
    // <path>/<branch>/catalogue.json.minisig, the catalogue's signature as minisign writes it.
    bool writeSignature(const QString &branch, const QByteArray &minisig);
    // Signs <path>/<branch>/catalogue.json with minisign, writing catalogue.json.minisig, with
    // the trusted comment a maker publishes: bound to the branch and signed now. Another
    // comment (a hostile or an old one) can be given.
    bool signCatalogue(const QString &branch, TestSigningKey &key,
                       TestSigningKey::Form form = TestSigningKey::Form::Hashed,
                       const QString &trustedComment = QString());
    // The trusted comment a maker signs a branch's catalogue with at `timestamp` (Unix seconds).
    static QString boundComment(const QString &branch, qint64 timestamp);
    // <path>/<branch>/<value>, the file that lumetra.php?version=<value> answers.
    bool writeFile(const QString &branch, const QString &value, const QByteArray &bytes);
    // A whole release of a branch: a catalogue of one product object listing the versions, and
    // every image in the file that its catalogue value names (fileValue); with a key, the
    // catalogue's signature too, and without one no signature (an earlier one is removed).
    bool publish(const QString &branch, const ReleaseVersions &versions,
                 TestSigningKey *signingKey = nullptr);
    static QString fileValue(const QString &tag, const QString &key);
    // The checksum a release publishes for these bytes: SHA-256 in lower-case hex.
    static QString sha256(const QByteArray &bytes);

    // Deterministic pseudo-random bytes standing in for an image: the same size and seed give the
    // same bytes, different seeds different ones.
    static QByteArray image(qsizetype size, quint32 seed);

private:
    bool write(const QString &relativePath, const QByteArray &bytes);
    QString cataloguePath(const QString &branch) const;

    QTemporaryDir dir;
};
