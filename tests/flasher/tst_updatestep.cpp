// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// What each failure tells a person: the reason line and the line after it, which says what to do
// and whether the meter was touched. Both programs show these same words.
#include "reason.h"
#include "updatestep.h"

#include <QtTest>

namespace {
using Frontend = UpdateStep::Frontend;
using Kind = UpdateStep::Kind;
using FlashFailure = FirmwareFlasher::FlashFailure;
using OpenFailure = SerialLink::OpenFailure;

QString code(Reason reason)
{
    return QString(reasonCode(reason));
}

const QString notWritten = QStringLiteral("The meter was not written: ");
const QString bootloader = QStringLiteral("into bootloader mode (power it down, hold the joystick "
                                          "button and press the power button)");
} // namespace

class UpdateStepTest : public QObject
{
    Q_OBJECT

private slots:
    void failureSaysWhyAndWhatNext_data()
    {
        QTest::addColumn<UpdateStep>("step");
        QTest::addColumn<Frontend>("frontend");
        QTest::addColumn<QString>("reasonHas"); // a part of the reason line
        QTest::addColumn<QString>("next");

        const QString image = QStringLiteral("DOVUr3_firmware");
        QTest::newRow("checksum mismatch")
            << UpdateStep::downloadFailed(image, code(Reason::ChecksumMismatch),
                                          "checksum does not match the published one")
            << Frontend::Window << "the download of DOVUr3_firmware failed"
            << notWritten + "press Update again to download it afresh; if it differs again, the "
                            "release on the server is damaged: choose another version in the list "
                            "and tell the release's maintainer.";
        QTest::newRow("HTTP 404, from a terminal")
            << UpdateStep::downloadFailed(image, code(Reason::HttpStatus),
                                          "server answered HTTP 404")
            << Frontend::Terminal << "server answered HTTP 404"
            << notWritten + "the server does not offer this file now: run the command again later, "
                            "or name another version (lumetra-flash versions lists them).";
        QTest::newRow("no server, during the download")
            << UpdateStep::downloadFailed(image, code(Reason::Connection), "connection refused")
            << Frontend::Window << "connection refused"
            << notWritten + "check the network connection, then press Update again.";
        QTest::newRow("no server for the release list, window")
            << UpdateStep::noInternet(code(Reason::Connection), "connection refused")
            << Frontend::Window << "connection refused"
            << "Check the network connection: the window asks the release server again by itself."
               " Without a network, use a release folder (Folder...).";
        QTest::newRow("no server for the release list, terminal")
            << UpdateStep::catalogueTimedOut(6000) << Frontend::Terminal << "no answer within 6 s"
            << "Check the network connection and the server address, then run the command again."
               " Without a network, update from a release folder saved by lumetra-flash download: "
               "lumetra-flash update --from FOLDER.";
        QTest::newRow("Update with an empty list: the server, not the version")
            << UpdateStep::emptyReleaseList(code(Reason::Timeout), "the release server x gave none")
            << Frontend::Window << "the release list is empty: the release server x gave none"
            << "Check the network connection: the window asks the release server again by itself."
               " Without a network, use a release folder (Folder...).";
        QTest::newRow("untrusted release list")
            << UpdateStep::noInternet(code(Reason::Untrusted), "no signature was published for it")
            << Frontend::Window << "no signature"
            << "Do not update from this server until its maintainer has checked its release list: "
               "it may have been changed on its way.";
        QTest::newRow("Update with an untrusted, empty list")
            << UpdateStep::emptyReleaseList(code(Reason::Untrusted), "the catalogue is not trusted")
            << Frontend::Window << "not trusted"
            << notWritten + "do not update from this server until its maintainer has checked its "
                            "release list: it may have been changed on its way.";
        QTest::newRow("tampered release folder")
            << UpdateStep::downloadRefused(code(Reason::AlteredFile), "its catalogue was changed")
            << Frontend::Terminal << QString()
            << notWritten + "the release folder is not as it was saved: save the release again "
                            "(lumetra-flash download) and use the new folder.";
        QTest::newRow("no meter, named")
            << UpdateStep::chosenMeterGone("LM0121 on ttyACM1") << Frontend::Window
            << "the meter LM0121 on ttyACM1 is not attached"
            << notWritten + "attach it, bring it " + bootloader + ", then press Update again.";
        QTest::newRow("port missing")
            << UpdateStep::portFailed("ttyACM0", OpenFailure::Missing, "No such file or directory")
            << Frontend::Terminal << "the port ttyACM0 would not open: No such file or directory"
            << notWritten + "unplug it, bring it " + bootloader +
                   " again, then run the command again.";
        QTest::newRow("port busy: its own advice")
            << UpdateStep::portFailed("ttyACM0", OpenFailure::Busy, "Device busy")
            << Frontend::Window << "would not open: Device busy"
            << notWritten + "another program is using the port: close it and try again.";
        QTest::newRow("not compatible")
            << UpdateStep::notCompatible("ttyACM0", "QX7") << Frontend::Window
            << "it answered 'QX7'"
            << notWritten + "check that it is a power meter this program updates, bring it " +
                   bootloader + ", then press Update again.";
        QTest::newRow("no firmware for this meter")
            << UpdateStep::noFirmware("1.0.0", "DOVUr3") << Frontend::Window << "version 1.0.0"
            << notWritten + "choose another version in the list.";
        QTest::newRow("transfer failure: the meter was touched")
            << UpdateStep::imageFailed(image, {FlashFailure::Kind::MeterSilent, 128, 258})
            << Frontend::Terminal << image
            << "The meter may be left half-written: bring it back " + bootloader +
                   ", then run the command again.";
    }

    void failureSaysWhyAndWhatNext()
    {
        QFETCH(UpdateStep, step);
        QFETCH(Frontend, frontend);
        QFETCH(QString, reasonHas);
        QFETCH(QString, next);

        QVERIFY2(step.reason.contains(reasonHas), qPrintable(step.reason));
        QCOMPARE(step.nextStep(frontend), next);
    }

    // A stage, a success and a failure already told by the end that follows it have no line after
    // them.
    void stepsThatAreNoFailureHaveNoNextStep()
    {
        for (const Kind kind : {Kind::Connecting, Kind::Complete, Kind::FlashingFirmware,
                                Kind::ReconnectFailed, Kind::StillRunning, Kind::Failed})
            QVERIFY2(UpdateStep::of(kind).nextStep(Frontend::Window).isEmpty(),
                     UpdateStep::of(kind).code().data());
    }
};

QTEST_GUILESS_MAIN(UpdateStepTest)
#include "tst_updatestep.moc"
