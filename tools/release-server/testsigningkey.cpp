// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "testsigningkey.h"

#include <QDir>
#include <QFile>
#include <QProcess>

namespace {

constexpr int minisignTimeoutMs = 10000;
constexpr int publicKeyLine = 1; // after the untrusted comment

} // namespace

TestSigningKey::TestSigningKey() : dir(QDir::tempPath() + QStringLiteral("/lumetra-sign-XXXXXX"))
{
    if (!dir.isValid()) {
        problem = QStringLiteral("cannot make a temporary directory");
        return;
    }
    if (minisign({QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"), publicKeyFile(),
                  QStringLiteral("-s"), secretKeyFile()}) &&
        publicKey().isEmpty())
        problem = QStringLiteral("minisign wrote no readable public key");
}

QString TestSigningKey::publicKey() const
{
    QFile file(publicKeyFile());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QList<QByteArray> lines = file.readAll().split('\n');
    return lines.size() > publicKeyLine ? QString::fromLatin1(lines.at(publicKeyLine).trimmed())
                                        : QString();
}

bool TestSigningKey::sign(const QString &filePath, Form form, const QString &trustedComment)
{
    QStringList arguments{QStringLiteral("-S"), QStringLiteral("-s"), secretKeyFile(),
                          QStringLiteral("-m"), filePath};
    if (form == Form::Legacy)
        arguments << QStringLiteral("-l");
    if (!trustedComment.isEmpty())
        arguments << QStringLiteral("-t") << trustedComment;
    return minisign(arguments);
}

bool TestSigningKey::minisign(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("minisign"), arguments);
    // Nothing to read: a prompt for a password must end the run, not wait for the time limit.
    process.closeWriteChannel();
    if (process.waitForFinished(minisignTimeoutMs) &&
        process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    problem = QStringLiteral("minisign ") + arguments.join(QLatin1Char(' ')) +
              QStringLiteral(" failed: ") + process.errorString() + QLatin1Char('\n') +
              QString::fromLocal8Bit(process.readAll());
    return false;
}
