// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "testcertificates.h"

#include <QDir>
#include <QProcess>

namespace {

constexpr int opensslTimeoutMs = 10000;

// P-256 keys are made in milliseconds, where RSA keys take noticeably longer.
const QStringList newKey{QStringLiteral("-newkey"),  QStringLiteral("ec"),
                         QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
                         QStringLiteral("-nodes"),   QStringLiteral("-days"),
                         QStringLiteral("1")};

} // namespace

TestCertificates::TestCertificates(const QString &hostName)
    : dir(QDir::tempPath() + QStringLiteral("/lumetra-tls-XXXXXX"))
{
    if (!dir.isValid()) {
        problem = QStringLiteral("cannot make a temporary directory");
        return;
    }
    const QString caKey = dir.filePath(QStringLiteral("ca.key"));
    const QString caCertificate = dir.filePath(QStringLiteral("ca.pem"));
    const QStringList selfSigned{QStringLiteral("req"),     QStringLiteral("-x509"),
                                 QStringLiteral("-subj"),   QStringLiteral("/CN=Lumetra test CA"),
                                 QStringLiteral("-keyout"), caKey,
                                 QStringLiteral("-out"),    caCertificate};
    if (!openssl(selfSigned + newKey))
        return;
    // openssl's own configuration would make the server certificate a CA as well; the explicit
    // extensions keep it an end-entity certificate for exactly one name, as a real server's is.
    const QStringList signedByCa{
        QStringLiteral("req"),     QStringLiteral("-x509"),
        QStringLiteral("-subj"),   QStringLiteral("/CN=") + hostName,
        QStringLiteral("-addext"), QStringLiteral("subjectAltName=DNS:") + hostName,
        QStringLiteral("-addext"), QStringLiteral("basicConstraints=critical,CA:FALSE"),
        QStringLiteral("-CA"),     caCertificate,
        QStringLiteral("-CAkey"),  caKey,
        QStringLiteral("-keyout"), serverKeyFile(),
        QStringLiteral("-out"),    serverCertificateFile()};
    if (!openssl(signedByCa + newKey))
        return;
    if (authority().isEmpty())
        problem = QStringLiteral("openssl wrote no readable CA certificate");
}

QList<QSslCertificate> TestCertificates::authority() const
{
    return QSslCertificate::fromPath(dir.filePath(QStringLiteral("ca.pem")), QSsl::Pem);
}

bool TestCertificates::openssl(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    if (process.waitForFinished(opensslTimeoutMs) && process.exitStatus() == QProcess::NormalExit &&
        process.exitCode() == 0)
        return true;
    problem = QStringLiteral("openssl ") + arguments.join(QLatin1Char(' ')) +
              QStringLiteral(" failed: ") + process.errorString() + QLatin1Char('\n') +
              QString::fromLocal8Bit(process.readAll());
    return false;
}
