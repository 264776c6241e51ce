// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "firmwareflasher.h"
#include "seriallink.h"

#include <QLatin1String>
#include <QMetaType>
#include <QString>

// One step of an update as both programs tell it: the window as a line of its status log,
// lumetra-flash as a status line or a JSON event. The status texts live here and nowhere else,
// word for word as users and support have always read them (the typo "eligable" included), and so
// do the reasons both programs give for a failure. Each program picks its own colours by tone().
//
// A step is a value: what happened (kind), to what (subject: a version, an image or a branch) and,
// for a failure, why: a stable code for scripts, the bare fact (detail, as JSON carries it), the
// sentence a person reads (reason) and, where there is something to do about it, a hint.
struct UpdateStep
{
    enum class Kind {
        BranchPath,         // a custom release branch is in use
        NoInternet,         // the release catalogue could not be had
        Connecting,         // the click: looking for the meter
        NoMeter,            // the chosen meter is not attached
        PortFailed,         // its port would not open
        NotCompatible,      // the meter did not identify as a product this program updates
        NoFirmware,         // the version lists no image for this meter
        DownloadFailed,     // an image did not come whole from the server
        DownloadRefused,    // the release may not be installed as published (subject: why)
        ReconnectFailed,    // the port would not open again once the images were in
        FlashingFirmware,   // writing begins
        Updating,           // the product check passed
        ImageRefused,       // too small to be a firmware image: not written
        BadName,            // its name cannot travel in the header block: nothing is written
        FlashingImage,      // an image is about to be written
        ImageFailed,        // its transfer stopped early; no line of its own, the end tells
        Complete,           // every image was written
        Failed,             // some image was refused or failed
        StillRunning,       // a request to close or stop while the meter is being written
        UnknownVersion,     // no line: the version asked for is not listed (reason says why)
        Untrusted,          // the release catalogue came but is not trusted (subject: why)
        BadBranch,          // the release branch breaks the naming rule: nothing is requested
        DownloadingRelease, // a whole release is being fetched to be kept (subject: version)
        ReleaseSaved,       // the release was kept in a folder (subject: version and folder)
        ReleaseFolder, // a release folder stands in for the server (subject: it and its version)
        FolderRefused, // a release folder cannot be used (reason says why)
        // The window's own lines, which name the meter a run is about on a bench of several.
        MeterChosen,         // the meter the run will write (subject: it and its last update)
        MeterUpdated,        // the run's end: the meter has the version now
        MeterNotUpdated,     // the run's end: the meter does not have the version
        ReleaseListReceived, // the release list came after it could not be had (subject: size)
        NoSleepLock          // no line: the computer may sleep during this update (detail says why)
    };
    static constexpr int kindCount = int(Kind::NoSleepLock) + 1; // NoSleepLock stays last

    // How a step reads: each program has a colour for each tone.
    enum class Tone {
        Stage,    // a stage reached, or success
        Flashing, // a stage of writing the meter
        Failure,  // an error
        Silent    // no status line
    };

    Kind kind = Kind::Connecting;
    QString subject;
    QString reasonCode;
    QString detail;
    QString reason;
    QString hint;
    // FlashingImage: the image's place in the list, from 1, and the list's length.
    int image = 0;
    int images = 0;

    // The program that shows a step: each asks for another go in its own words ("press Update
    // again", "run the command again").
    enum class Frontend { Window, Terminal };

    // The status line; empty for the steps that have none.
    QString text() const;
    // Whether this step says why an update cannot go on; every such step carries a reason code.
    bool isFailure() const { return !reasonCode.isEmpty(); }
    // For a failure, what to do next and whether the meter was touched, as one line for a person:
    // "The meter was not written: ..." for every failure before the download command reached the
    // meter. Empty for steps that are no failure, and for failures whose end says it (a port that
    // would not open again is followed by "Failed to connect", an image refused before writing by
    // "ERROR: Update failed").
    QString nextStep(Frontend frontend) const;
    // The tone of the step whose code() this is; Silent for a code of no step.
    static Tone toneOf(const QString &code);
    // A stable name of the step for scripts, such as "flashing-image".
    QLatin1String code() const;
    Tone tone() const;

    static UpdateStep of(Kind kind, const QString &subject = QString());
    // Several failures of one kind told as one: the first one's kind, code, detail and hint,
    // and every reason, in order.
    static UpdateStep combined(const QList<UpdateStep> &failures);
    // The meter chosen on portName is not attached (any more).
    static UpdateStep noMeter(const QString &portName);
    // The same, for a front end that names the chosen meter as a person knows it (serial number,
    // the port it was last seen on).
    static UpdateStep chosenMeterGone(const QString &meter);
    // A catalogue that came but may not be used: code says how (a bad signature, a rollback...).
    static UpdateStep untrusted(const QString &code, const QString &why);
    // The release branch asked for breaks the naming rule: why says which and how.
    static UpdateStep badBranch(const QString &why);
    static UpdateStep unknownVersion(const QString &why);
    static UpdateStep folderRefused(const QString &folder, const QString &code,
                                    const QString &detail);
    static UpdateStep noInternet(const QString &code, const QString &detail);
    static UpdateStep catalogueTimedOut(int timeoutMs);
    static UpdateStep portFailed(const QString &portName, SerialLink::OpenFailure failure,
                                 const QString &systemText);
    static UpdateStep notCompatible(const QString &portName, const QString &reply);
    static UpdateStep noFirmware(const QString &version, const QString &hardwareId);
    // Update pressed before any version was listed: there was nothing to choose from. causeCode
    // is the reason code of the latest release-list request (empty when the server listed
    // nothing), cause the words that say it.
    static UpdateStep emptyReleaseList(const QString &causeCode, const QString &cause);
    static UpdateStep downloadFailed(const QString &fileName, const QString &code,
                                     const QString &detail);
    // The line itself says why; a program adds what it makes of it.
    static UpdateStep downloadRefused(const QString &code, const QString &detail);
    static UpdateStep imageRefused(const QString &name, int smallestImageBytes);
    static UpdateStep badName(const QString &name, qint64 imageSize);
    static UpdateStep imageFailed(const QString &name, const FirmwareFlasher::FlashFailure &why);
    // The meter as a person knows it (serial number and port), and the day of its last update
    // if one is known.
    static UpdateStep meterChosen(const QString &meter, const QString &lastUpdate);
    // The run's last line: which meter has which version now, or which was not updated (version
    // empty: before any version was chosen).
    static UpdateStep meterOutcome(const QString &meter, const QString &version, bool updated);
    static UpdateStep releaseListReceived(qsizetype versions);

    // A meter's reply as a message quotes it: at most its first replyExcerptChars characters, then
    // an ellipsis. A meter can send anything, and a screenful of it would bury the message.
    static QString replyExcerpt(const QString &reply);
    static constexpr int replyExcerptChars = 64;
};

Q_DECLARE_METATYPE(UpdateStep)
