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
#include "updatehistory.h"
#include "updaterun.h"

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
    // the only one attached. A failure when there is none or when it would be a guess.
    UpdateRun::MeterChoice choosePort();
    // The attached meters that --port names, or all of them without it.
    QList<QSerialPortInfo> candidateMeters() const;
    // Says which meters there are when --port is missing and several are attached, or names a
    // serial number that several carry: the program then writes to none of them.
    bool meterChoiceIsClear();
    // Why the program writes to none of meters; also said as an error line at once.
    QString refuseToGuess(const QList<QSerialPortInfo> &meters);
    // The image FILE, or nothing (after saying why) when it may not be sent to the meter.
    std::optional<QByteArray> readImage();

    // The version's images for a meter that identifies as hardwareId, downloaded.
    ExitCode download(const QString &version, const QString &hardwareId, QList<MeterImage> &images);
    // One whole run on the meter that --port names, of version (none for a local file, which
    // label names instead), to its end.
    ExitCode runUpdate(const QString &version, const QString &label = QString());
    // Prints a step, and does what this program does at it.
    void onStep(const UpdateStep &step);
    // The error line, its hint and the result's reason for the step that ended a run; its exit
    // status.
    ExitCode failWith(const UpdateStep &outcome);
    // Names a release branch that comes from the window's saved setting, not the command line.
    void noteSavedBranch();

    const Invocation &invocation;
    Reporter &reporter;
    NVKCloudInterface cloud;
    SerialLink link;
    FirmwareFlasher flasher;
    MeterSession session{link, flasher, QStringLiteral("lumetra-flash")};
    UpdateRun updateRun{cloud, session};
    // Where every update and flash is recorded: --history, LUMETRA_HISTORY or the user's file.
    UpdateHistory history;
    std::optional<ProtocolTrace> trace;
    ImageProgress imageInProgress; // the image being written, for the progress report
    // From "Flashing Firmware" on the meter may be written to: an interruption would leave it
    // half-flashed.
    std::optional<InterruptGuard> interruptGuard;
    bool meterWaitNoted = false;
};
