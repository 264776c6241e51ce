// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A throwaway minisign key pair, made with the minisign command in a temporary directory removed
// with the object, so no secret key is ever checked in. The secret key has no password
// (minisign -W), so signing asks nothing.
class TestSigningKey
{
public:
    // minisign -S writes the hashed form by default; -l the legacy form, which the updater refuses.
    enum class Form { Hashed, Legacy };

    TestSigningKey();

    // minisign ran and wrote both files; otherwise error() says what it printed.
    bool isValid() const { return problem.isEmpty(); }
    QString error() const { return problem; }

    QString publicKeyFile() const { return dir.filePath(QStringLiteral("release.pub")); }
    QString secretKeyFile() const { return dir.filePath(QStringLiteral("release.key")); }
    // The base64 line of the public key, as LUMETRA_RELEASE_PUBLIC_KEYS takes it.
    QString publicKey() const;

    // Writes <filePath>.minisig; minisign's own trusted comment (a timestamp and the file name)
    // unless one is given. On failure error() says why.
    bool sign(const QString &filePath, Form form = Form::Hashed,
              const QString &trustedComment = QString());

private:
    bool minisign(const QStringList &arguments);

    QTemporaryDir dir;
    QString problem;
};
