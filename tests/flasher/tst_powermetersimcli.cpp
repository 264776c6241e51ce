// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// The lumetra-powermeter-sim program as scripts use it: on a plain pseudo-terminal, and with --usb
// around a child program that finds the meter by its USB ids.
#include "firmwareflasher.h"
#include "seriallink.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray testImage()
{
    QByteArray image(5000, '\0');
    for (qsizetype i = 0; i < image.size(); ++i)
        image[i] = char(i * 3 + i / 7);
    return image;
}

QByteArray summaryLine(const QString &name, const QByteArray &image)
{
    return QStringLiteral("received %1: %2 bytes, sha256 %3")
        .arg(name)
        .arg(image.size())
        .arg(QString::fromLatin1(
            QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()))
        .toUtf8();
}

QByteArray fileContents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestPowerMeterSimCli : public QObject
{
    Q_OBJECT

private slots:
    void pseudoTerminalModeRunsUntilReset()
    {
        QTemporaryDir saveDir;
        QProcess simulator;
        simulator.start(QStringLiteral(SIMULATOR_PATH),
                        {QStringLiteral("--save-dir"), saveDir.path()});
        QVERIFY(simulator.waitForReadyRead(5000));
        const QString port = QString::fromLocal8Bit(simulator.readLine().trimmed());
        QVERIFY(port.startsWith(QLatin1String("/dev/")));

        SerialLink link;
        FirmwareFlasher flasher;
        QVERIFY(link.acquire(6000, port));
        flasher.attachLink(&link);
        flasher.replyLineTimeoutMs = 20;
        const QByteArray image = testImage();
        QVERIFY(flasher.flashImage(image, QStringLiteral("../escape.bin")));
        QVERIFY(link.sendBytes("R"));
        link.release();
        link.release();

        QVERIFY(simulator.waitForFinished(5000));
        QCOMPARE(simulator.exitCode(), 0);
        const QByteArray output = simulator.readAllStandardOutput();
        QVERIFY2(output.contains(summaryLine(QStringLiteral("../escape.bin"), image)), output);
        // The name the device was sent cannot place the file outside the save directory.
        QCOMPARE(fileContents(saveDir.filePath(QStringLiteral(".._escape.bin"))), image);
    }

    void usbModeRunsTheCommandAgainstDevTtyAcm0_data()
    {
        QTest::addColumn<QStringList>("simulatorOptions");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("imageSaved");
        QTest::newRow("meter flashed") << QStringList() << 0 << true;
        QTest::newRow("child's failure status comes back")
            << QStringList{QStringLiteral("--product-reply"), QStringLiteral("XYZ123")} << 4
            << false;
    }

    void usbModeRunsTheCommandAgainstDevTtyAcm0()
    {
        QFETCH(QStringList, simulatorOptions);
        QFETCH(int, exitCode);
        QFETCH(bool, imageSaved);

        QTemporaryDir dir;
        const QByteArray image = testImage();
        QFile imageFile(dir.filePath(QStringLiteral("input.bin")));
        QVERIFY(imageFile.open(QIODevice::WriteOnly));
        imageFile.write(image);
        imageFile.close();
        const QString saveDir = dir.filePath(QStringLiteral("saved"));

        QProcess simulator;
        simulator.start(QStringLiteral(UMOCKDEV_WRAPPER),
                        QStringList{QStringLiteral(SIMULATOR_PATH), QStringLiteral("--usb"),
                                    QStringLiteral("--save-dir"), saveDir}
                            << simulatorOptions
                            << QStringList{QStringLiteral("--"), QStringLiteral(CLIENT_PATH),
                                           imageFile.fileName(), QStringLiteral("fw.bin")});
        QVERIFY(simulator.waitForFinished(30000));
        QCOMPARE(simulator.exitStatus(), QProcess::NormalExit);
        QCOMPARE(simulator.exitCode(), exitCode);
        const QByteArray output = simulator.readAllStandardOutput();
        QCOMPARE(output.contains(summaryLine(QStringLiteral("fw.bin"), image)), imageSaved);
        QCOMPARE(fileContents(saveDir + QStringLiteral("/fw.bin")),
                 imageSaved ? image : QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestPowerMeterSimCli)
#include "tst_powermetersimcli.moc"
