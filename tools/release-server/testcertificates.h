// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QList>
#include <QSslCertificate>
#include <QString>
#include <QTemporaryDir>

// A throwaway certificate authority and one server certificate it signed, made with the openssl
// command in a temporary directory removed with the object. Both are valid for one day from
// now, so nothing made here can outlive a test run or needs to be checked in.
//
// A test trusts authority() inside its own process only (the default QSslConfiguration) and
// hands the server files to ReleaseServer::useTls.
class TestCertificates
{
public:
    // The server certificate names hostName as its only subject alternative name.
    explicit TestCertificates(const QString &hostName);

    // openssl ran and wrote every file; otherwise error() says what it printed.
    bool isValid() const { return problem.isEmpty(); }
    QString error() const { return problem; }

    QList<QSslCertificate> authority() const;
    QString serverCertificateFile() const { return dir.filePath(QStringLiteral("server.pem")); }
    QString serverKeyFile() const { return dir.filePath(QStringLiteral("server.key")); }

private:
    bool openssl(const QStringList &arguments);

    QTemporaryDir dir;
    QString problem;
};
