// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "commandline.h"
#include "exitcode.h"
#include "firmwareflasher.h"
#include "interruptguard.h"
#include "metersession.h"
#include "nvkcloudinterface.h"
#include "protocoltrace.h"
#include "reporter.h"
#include "seriallink.h"

#include <QByteArray>
#include <QList>
#include <QSerialPortInfo>
#include <QString>

#include <optional>

// Runs one sub-command of lumetra-flash to its end and says how it ended. Network waits run a
// local event loop; the serial line blocks, as it does in the window, since nothing else needs
// to run meanwhile.
class FlashTool
{
public:
    FlashTool(const Invocation &invocation, Reporter &reporter);

    ExitCode run();

private:
    ExitCode list();
    ExitCode versions();
    ExitCode update();
    ExitCode flash();
    // download: the release saved to a new folder, for update --from.
    ExitCode saveRelease(const QString &folder);
    // update --all: every attached meter at once, from one download.
    ExitCode updateAll();

    QString branch() const;
    // Fetches the catalogue of the branch; false (after saying why) when there is none.
    bool loadCatalogue(bool asStatus);
    // The version to install: the one named, or the one the window would preselect.
    std::optional<QString> chooseVersion();
    // The meter's port: the one --port names (by port name, device path or USB serial number), or
    // the only one attached. Nothing when there is none or when it would be a guess.
    std::optional<QString> choosePort();
    // The attached meters that --port names, or all of them without it.
    QList<QSerialPortInfo> candidateMeters() const;
    // Says which meters there are when --port is missing and several are attached, or names a
    // serial number that several carry: the program then writes to none of them.
    bool meterChoiceIsClear();
    void refuseToGuess(const QList<QSerialPortInfo> &meters);
    // The image FILE, or nothing (after saying why) when it may not be sent to the meter.
    std::optional<QByteArray> readImage();

    // "Connecting..." and the meter's port, or nothing (after saying why).
    std::optional<QString> findMeter();
    // The version's images for a meter that identifies as hardwareId, downloaded.
    ExitCode download(const QString &version, const QString &hardwareId, QList<MeterImage> &images);
    // The window's finish half: product check, every image, the closing command.
    ExitCode install(const QString &port, const QString &label, const QList<MeterImage> &images);
    // Prints a step, and keeps what the result and the error line will need.
    void onStep(const UpdateStep &step);
    // The error line and the result's reason from the steps of this kind that failed.
    ExitCode failWith(UpdateStep::Kind kind, ExitCode code);
    // Names a release branch that comes from the window's saved setting, not the command line.
    void noteSavedBranch();

    const Invocation &invocation;
    Reporter &reporter;
    NVKCloudInterface cloud;
    SerialLink link;
    FirmwareFlasher flasher;
    MeterSession session{link, flasher, QStringLiteral("lumetra-flash")};
    std::optional<ProtocolTrace> trace;
    ImageProgress imageInProgress; // the image being written, for the progress report
    // Every failing step of the run with a reason, in order.
    QList<UpdateStep> failures;
    // From "Flashing Firmware" on the meter may be written to: an interruption would leave it
    // half-flashed.
    std::optional<InterruptGuard> interruptGuard;
    bool meterWaitNoted = false;
};
