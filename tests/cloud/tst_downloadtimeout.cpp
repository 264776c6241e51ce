// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// The download's no-data limit at its real value: a server that accepts the request and then
// stays silent ends the download with a failure after 30 s, not never.
#include "nvkcloudinterface.h"
#include "releasefolder.h"
#include "releaseserver.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

class TestDownloadTimeout : public QObject
{
    Q_OBJECT

private slots:
    void silentServerFailsAfterThirtySeconds();
};

void TestDownloadTimeout::silentServerFailsAfterThirtySeconds()
{
    ReleaseFolder folder;
    QVERIFY(folder.writeCatalogue("cust", R"([{"product": "Lumetra", "versions": [
        {"tag_name": "1.0", "DOVUr3_main_firmware": "main.bin"}]}])"));
    QVERIFY(folder.writeFile("cust", "main.bin", ReleaseFolder::image(8192, 1)));
    ReleaseServer server(folder.path());
    QVERIFY(server.start() != 0);

    NVKCloudInterface cloud(server.baseUrl());
    QCOMPARE(cloud.downloadTimeoutMs, 30000);
    cloud.requestVersions("cust", false);
    QTRY_VERIFY_WITH_TIMEOUT(!cloud.jsonTimer.isActive(), 5000);
    QCOMPARE(cloud.versionList, QStringList{"1.0"});

    ServerFaults faults;
    faults.neverAnswer = true;
    server.setFaults(faults);
    QSignalSpy failed(&cloud, &NVKCloudInterface::firmware_download_failed);
    QSignalSpy finished(&cloud, &NVKCloudInterface::firmware_download_finished);
    QElapsedTimer clock;
    clock.start();
    cloud.requestFirmware("1.0", "DOVUr3");

    QVERIFY(failed.wait(40000));
    QVERIFY2(clock.elapsed() >= 28500 && clock.elapsed() < 33000,
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(failed.first().first().toString(), "DOVUr3_main_firmware");
    QCOMPARE(finished.count(), 0);
}

QTEST_GUILESS_MAIN(TestDownloadTimeout)
#include "tst_downloadtimeout.moc"
