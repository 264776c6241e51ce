// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// The lumetra-powermeter-sim program as scripts/demo uses it: with --usb around a child program
// that finds the meter by its USB ids, passing the child's exit status on and saving what the
// meter received.
#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestPowerMeterSimCli : public QObject
{
    Q_OBJECT

private slots:
    void usbModeRunsTheCommandAgainstTheUsbTty_data()
    {
        QTest::addColumn<QStringList>("simulatorOptions");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("meter flashed") << QStringList() << 0;
        QTest::newRow("child's failure status comes back")
            << QStringList{QStringLiteral("--product-reply"), QStringLiteral("XYZ123")} << 4;
    }

    void usbModeRunsTheCommandAgainstTheUsbTty()
    {
        QFETCH(QStringList, simulatorOptions);
        QFETCH(int, exitCode);
        QTemporaryDir dir;
        const QByteArray image = QByteArray("lumetra image ").repeated(400);
        QFile imageFile(dir.filePath(QStringLiteral("input.bin")));
        QVERIFY(imageFile.open(QIODevice::WriteOnly) && imageFile.write(image) == image.size());
        imageFile.close();

        QProcess simulator;
        simulator.start(QStringLiteral(UMOCKDEV_WRAPPER),
                        QStringList{QStringLiteral(SIMULATOR_PATH), QStringLiteral("--usb"),
                                    QStringLiteral("--save-dir"), dir.filePath("saved")}
                            << simulatorOptions
                            << QStringList{QStringLiteral("--"), QStringLiteral(CLIENT_PATH),
                                           imageFile.fileName(), QStringLiteral("../escape.bin")});
        QVERIFY(simulator.waitForFinished(30000));
        QCOMPARE(simulator.exitStatus(), QProcess::NormalExit);
        QCOMPARE(simulator.exitCode(), exitCode);

        const bool flashed = exitCode == 0;
        const QByteArray summary =
            "received ../escape.bin: " + QByteArray::number(image.size()) + " bytes, sha256 " +
            QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex();
        QCOMPARE(simulator.readAllStandardOutput().contains(summary), flashed);
        // The name the device was sent cannot place the file outside the save directory.
        QFile saved(dir.filePath("saved/.._escape.bin"));
        QCOMPARE(saved.open(QIODevice::ReadOnly) ? saved.readAll() : QByteArray(),
                 flashed ? image : QByteArray());
    }
};

QTEST_GUILESS_MAIN(TestPowerMeterSimCli)
#include "tst_powermetersimcli.moc"
