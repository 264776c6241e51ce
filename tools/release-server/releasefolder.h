// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// A release folder in a temporary directory, removed with the object: tests write the catalogue
// and firmware files each case needs and point a ReleaseServer at path().
class ReleaseFolder
{
public:
    ReleaseFolder();

    QString path() const { return dir.path(); }

    // <path>/<branch>/catalogue.json; the branch may be several segments ("labs/rf-team").
    bool writeCatalogue(const QString &branch, const QByteArray &json);
    // <path>/<branch>/<value>, the file that lumetra.php?version=<value> answers.
    bool writeFile(const QString &branch, const QString &value, const QByteArray &bytes);

    // Deterministic pseudo-random bytes standing in for an image: the same size and seed give the
    // same bytes, different seeds different ones.
    static QByteArray image(qsizetype size, quint32 seed);

private:
    bool write(const QString &relativePath, const QByteArray &bytes);

    QTemporaryDir dir;
};
