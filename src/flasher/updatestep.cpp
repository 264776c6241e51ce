// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "updatestep.h"

#include "bootloaderprotocol.h"
#include "reason.h"

#include <initializer_list>

namespace {

const QChar ellipsis(0x2026);
constexpr int msPerSecond = 1000;

// The user's session sits at a seat of this computer (a desktop or a local console) rather than
// coming in over the network or running as a service: pam_systemd names the seat.
bool atLocalSeat()
{
    return !qEnvironmentVariableIsEmpty("XDG_SEAT");
}

QString accessHint()
{
    // The udev rule tags the port "uaccess": logind then gives the user at the seat access, from
    // the next time the meter appears. Over SSH or on a bench service there is no seat, and only
    // the group that owns serial ports helps.
    if (atLocalSeat())
        return QStringLiteral("The package's udev rule gives the logged-in user access to the "
                              "meter: unplug it and bring it into bootloader mode again.");
    return QStringLiteral("Add the user to the dialout group (sudo usermod -aG dialout $USER) "
                          "and log in again.");
}

UpdateStep failure(UpdateStep::Kind kind, const QString &code, const QString &detail,
                   const QString &reason)
{
    UpdateStep step = UpdateStep::of(kind);
    step.reasonCode = code;
    step.detail = detail;
    step.reason = reason;
    return step;
}

} // namespace

namespace {

using Frontend = UpdateStep::Frontend;

const QString notWritten = QStringLiteral("The meter was not written: ");
const QString intoBootloaderMode =
    QStringLiteral("into bootloader mode (power it down, hold the joystick button and press the "
                   "power button)");

// Another go, in the words of the program that is asked.
QString again(Frontend frontend)
{
    return frontend == Frontend::Window ? QStringLiteral("press Update again")
                                        : QStringLiteral("run the command again");
}

QString otherVersion(Frontend frontend)
{
    return frontend == Frontend::Window
               ? QStringLiteral("choose another version in the list")
               : QStringLiteral("name another version (lumetra-flash versions lists them)");
}

bool isOneOf(const QString &code, std::initializer_list<Reason> reasons)
{
    for (const Reason reason : reasons) {
        if (code == ::reasonCode(reason))
            return true;
    }
    return false;
}

// A catalogue that came but may not be used, whichever rule it broke.
bool isRefusalOfTrust(const QString &code)
{
    return isOneOf(code,
                   {Reason::Untrusted, Reason::CatalogueRollback, Reason::CatalogueWrongBranch,
                    Reason::CatalogueExpired, Reason::CatalogueUnbound});
}

// What to do about a release that could not be had or may not be installed: the server's or the
// folder's doing, never the meter's. Ends without a full stop.
QString releaseAction(const QString &code, Frontend frontend)
{
    if (isOneOf(code, {Reason::Timeout, Reason::Connection, Reason::Tls}))
        return QStringLiteral("check the network connection, then ") + again(frontend);
    if (code == ::reasonCode(Reason::ChecksumMismatch))
        return QStringLiteral("%1 to download it afresh; if it differs again, the release on the "
                              "server is damaged: %2 and tell the release's maintainer")
            .arg(again(frontend), otherVersion(frontend));
    if (code == ::reasonCode(Reason::HttpStatus))
        return QStringLiteral("the server does not offer this file now: %1 later, or %2")
            .arg(again(frontend), otherVersion(frontend));
    if (isRefusalOfTrust(code))
        return QStringLiteral("the release list may have been changed on its way; do not update "
                              "from this server until its maintainer has checked it");
    if (code == ::reasonCode(Reason::ChecksumMissing))
        return QStringLiteral("this release may not be installed as published: ") +
               otherVersion(frontend);
    if (isOneOf(code, {Reason::NotBundle, Reason::MissingFile, Reason::AlteredFile}))
        return QStringLiteral("the release folder is not as it was saved: save the release "
                              "again (lumetra-flash download) and use the new folder");
    return QStringLiteral("%1; if it fails again, %2").arg(again(frontend), otherVersion(frontend));
}

// The release list could not be had: there was no run, and nothing to say about the meter.
QString catalogueAction(const QString &code, Frontend frontend)
{
    if (code == ::reasonCode(Reason::CatalogueRollback))
        return QStringLiteral("Do not update from this server until its maintainer has checked "
                              "it: it offers a release list older than one already used.");
    if (isRefusalOfTrust(code))
        return QStringLiteral("Do not update from this server until its maintainer has checked "
                              "its release list: it may have been changed on its way.");
    // Without a network, a release saved to a folder elsewhere updates the meter all the same.
    if (frontend == Frontend::Window)
        return QStringLiteral("Check the network connection: the window asks the release server "
                              "again by itself. Without a network, use a release folder "
                              "(Folder...).");
    return QStringLiteral("Check the network connection and the server address, then run the "
                          "command again. Without a network, update from a release folder saved "
                          "by lumetra-flash download: lumetra-flash update --from FOLDER.");
}

// A hint is a sentence of its own; after the colon it goes on in lower case, with one stop.
QString asClause(const QString &hint)
{
    QString clause = hint.left(1).toLower() + hint.mid(1);
    if (clause.endsWith(QLatin1Char('.')))
        clause.chop(1);
    return clause;
}

} // namespace

UpdateStep UpdateStep::of(Kind kind, const QString &subject)
{
    UpdateStep step;
    step.kind = kind;
    step.subject = subject;
    return step;
}

UpdateStep UpdateStep::combined(const QList<UpdateStep> &failures)
{
    if (failures.isEmpty())
        return UpdateStep();
    UpdateStep step = failures.first();
    QStringList reasons;
    for (const UpdateStep &failure : failures)
        reasons.append(failure.reason);
    step.reason = reasons.join(QStringLiteral("; "));
    return step;
}

UpdateStep UpdateStep::noMeter(const QString &portName)
{
    const QString why =
        portName.isEmpty() ? QStringLiteral("no meter in bootloader mode found")
                           : QStringLiteral("no meter in bootloader mode on port %1").arg(portName);
    return failure(Kind::NoMeter, QString(::reasonCode(Reason::NoMeter)), why, why);
}

UpdateStep UpdateStep::untrusted(const QString &code, const QString &why)
{
    UpdateStep step = failure(Kind::Untrusted, code, why, QString());
    step.subject = why;
    return step;
}

UpdateStep UpdateStep::badBranch(const QString &why)
{
    // The sentence comes as a clause; as a line of its own it starts with a capital.
    UpdateStep step =
        failure(Kind::BadBranch, QString(::reasonCode(Reason::BadBranch)), why, QString());
    step.subject = why.isEmpty() ? why : why.at(0).toUpper() + why.mid(1);
    return step;
}

UpdateStep UpdateStep::folderRefused(const QString &folder, const QString &code,
                                     const QString &detail)
{
    return failure(Kind::FolderRefused, code, detail,
                   QStringLiteral("cannot use the release folder %1: %2").arg(folder, detail));
}

UpdateStep UpdateStep::unknownVersion(const QString &why)
{
    return failure(Kind::UnknownVersion, QString(::reasonCode(Reason::Catalogue)), why, why);
}

namespace {

// How one kind of step reads: its code for scripts, its status text (to which the subject is
// appended when it names one) and its tone.
struct Words
{
    const char *code;
    const char *text;
    bool namesSubject;
    UpdateStep::Tone tone;
};

Words wordsOf(UpdateStep::Kind kind)
{
    using Kind = UpdateStep::Kind;
    using Tone = UpdateStep::Tone;
    switch (kind) {
    case Kind::BranchPath:
        return {"branch", "Branch Path: ", true, Tone::Stage};
    case Kind::NoInternet:
        return {"no-internet", "No Internet Connection", false, Tone::Failure};
    case Kind::Connecting:
        return {"connecting", "Connecting...", false, Tone::Stage};
    case Kind::NoMeter:
        return {"no-meter",
                "Failed to find Power Meter device, please restart, reconnect, and retry", false,
                Tone::Failure};
    case Kind::PortFailed:
        return {"port-failed", "Port failed to open", false, Tone::Failure};
    case Kind::NotCompatible:
        return {"not-compatible",
                "Compatible product eligable for update not found, Reboot and retry", false,
                Tone::Failure};
    case Kind::NoFirmware:
        return {"no-firmware", "Error: No firmware for this device in this version", false,
                Tone::Failure};
    case Kind::DownloadFailed:
        return {"download-failed", "Error: Firmware download failed", false, Tone::Failure};
    case Kind::DownloadRefused:
        return {"download-refused", "Error: Firmware download refused: ", true, Tone::Failure};
    case Kind::ReconnectFailed:
        return {"reconnect-failed", "Failed to connect", false, Tone::Failure};
    case Kind::FlashingFirmware:
        return {"flashing-firmware", "Flashing Firmware ", true, Tone::Flashing};
    case Kind::Updating:
        return {"updating", "Updating...", false, Tone::Stage};
    case Kind::ImageRefused:
        return {"image-missing", "Error: Firmware image missing from server", false, Tone::Failure};
    case Kind::BadName:
        return {"image-name", "Error: Firmware image name cannot be sent to the meter", false,
                Tone::Failure};
    case Kind::FlashingImage:
        return {"flashing-image", "Flashing image ", true, Tone::Flashing};
    case Kind::ImageFailed:
        return {"image-failed", "", false, Tone::Silent};
    case Kind::Complete:
        return {"update-complete", "Update complete", false, Tone::Stage};
    case Kind::Failed:
        return {"update-failed", "ERROR: Update failed", false, Tone::Failure};
    case Kind::StillRunning:
        return {"still-running", "Update in progress: please wait until it ends", false,
                Tone::Flashing};
    case Kind::UnknownVersion:
        return {"unknown-version", "", false, Tone::Silent};
    case Kind::Untrusted:
        return {"untrusted", "The release catalogue is not trusted: ", true, Tone::Failure};
    case Kind::BadBranch:
        return {"bad-branch", "", true, Tone::Failure};
    case Kind::DownloadingRelease:
        return {"downloading-release", "Downloading release ", true, Tone::Stage};
    case Kind::ReleaseSaved:
        return {"release-saved", "Saved release ", true, Tone::Stage};
    case Kind::ReleaseFolder:
        return {"release-folder", "Release folder: ", true, Tone::Stage};
    case Kind::FolderRefused:
        return {"folder-refused", "Error: Release folder cannot be used", false, Tone::Failure};
    case Kind::MeterChosen:
        return {"meter", "Meter ", true, Tone::Stage};
    case Kind::MeterUpdated:
        return {"meter-updated", "The meter ", true, Tone::Stage};
    case Kind::MeterNotUpdated:
        return {"meter-not-updated", "The meter ", true, Tone::Failure};
    case Kind::ReleaseListReceived:
        return {"release-list", "Release list received: ", true, Tone::Stage};
    case Kind::NoSleepLock:
        return {"no-sleep-lock", "", false, Tone::Silent};
    }
    return {"", "", false, Tone::Silent};
}

} // namespace

QString UpdateStep::text() const
{
    const Words words = wordsOf(kind);
    const QString text = QString::fromLatin1(words.text);
    return words.namesSubject ? text + subject : text;
}

QLatin1String UpdateStep::code() const
{
    return QLatin1String(wordsOf(kind).code);
}

UpdateStep::Tone UpdateStep::tone() const
{
    return wordsOf(kind).tone;
}

UpdateStep::Tone UpdateStep::toneOf(const QString &code)
{
    for (int kind = 0; kind < kindCount; ++kind) {
        const Words words = wordsOf(Kind(kind));
        if (code == QLatin1String(words.code))
            return words.tone;
    }
    return Tone::Silent;
}

QString UpdateStep::replyExcerpt(const QString &reply)
{
    if (reply.size() <= replyExcerptChars)
        return reply;
    // A character outside the basic plane is kept whole or left out.
    qsizetype cut = replyExcerptChars;
    if (reply.at(cut - 1).isHighSurrogate())
        --cut;
    return reply.left(cut) + ellipsis;
}

UpdateStep UpdateStep::chosenMeterGone(const QString &meter)
{
    return failure(Kind::NoMeter, QString(::reasonCode(Reason::NoMeter)),
                   QStringLiteral("not attached"),
                   meter.isEmpty() ? QStringLiteral("no meter is attached in bootloader mode")
                                   : QStringLiteral("the meter %1 is not attached").arg(meter));
}

UpdateStep UpdateStep::noInternet(const QString &code, const QString &detail)
{
    return failure(Kind::NoInternet, code, detail, detail);
}

UpdateStep UpdateStep::catalogueTimedOut(int timeoutMs)
{
    return noInternet(QString(::reasonCode(Reason::Timeout)),
                      QStringLiteral("no answer within %1 s").arg(timeoutMs / msPerSecond));
}

UpdateStep UpdateStep::portFailed(const QString &portName, SerialLink::OpenFailure why,
                                  const QString &systemText)
{
    QString code = QString(::reasonCode(Reason::PortFailed));
    QString hint;
    switch (why) {
    case SerialLink::OpenFailure::NoAccess:
        code = QString(::reasonCode(Reason::PortPermission));
        hint = accessHint();
        break;
    case SerialLink::OpenFailure::Busy:
        code = QString(::reasonCode(Reason::PortBusy));
        hint = QStringLiteral("Another program is using the port: close it and try again.");
        break;
    case SerialLink::OpenFailure::Missing:
        code = QString(::reasonCode(Reason::PortMissing));
        break;
    case SerialLink::OpenFailure::None:
    case SerialLink::OpenFailure::Other:
        break;
    }
    UpdateStep step =
        failure(Kind::PortFailed, code, systemText,
                QStringLiteral("the port %1 would not open: %2").arg(portName, systemText));
    step.hint = hint;
    return step;
}

UpdateStep UpdateStep::notCompatible(const QString &portName, const QString &reply)
{
    const QString answer = reply.isEmpty()
                               ? QStringLiteral("it did not answer")
                               : QStringLiteral("it answered '%1'").arg(replyExcerpt(reply));
    return failure(Kind::NotCompatible, QString(::reasonCode(Reason::NotCompatible)), answer,
                   QStringLiteral("the meter on %1 did not identify as a compatible product (%2)")
                       .arg(portName, answer));
}

UpdateStep UpdateStep::noFirmware(const QString &version, const QString &hardwareId)
{
    return failure(Kind::NoFirmware, QString(::reasonCode(Reason::NoFirmware)),
                   QStringLiteral("no firmware for this meter"),
                   QStringLiteral("version %1 has no firmware for this meter (%2)")
                       .arg(version, replyExcerpt(hardwareId)));
}

UpdateStep UpdateStep::emptyReleaseList(const QString &causeCode, const QString &cause)
{
    const QString why = QStringLiteral("the release list is empty: ") + cause;
    // The server answered with nothing to list, or with a list nobody may trust: there was no
    // version to choose. Any other cause is the server not being reached.
    const bool answered = causeCode.isEmpty() || isRefusalOfTrust(causeCode) ||
                          causeCode == ::reasonCode(Reason::BadBranch);
    UpdateStep step = failure(answered ? Kind::NoFirmware : Kind::NoInternet,
                              QString(::reasonCode(Reason::NoVersions)), why, why);
    if (isRefusalOfTrust(causeCode))
        step.hint = catalogueAction(causeCode, Frontend::Terminal);
    else if (causeCode.isEmpty())
        step.hint = QStringLiteral("The release branch may be wrong: check it, or ask the "
                                   "release's maintainer.");
    return step;
}

UpdateStep UpdateStep::downloadFailed(const QString &fileName, const QString &code,
                                      const QString &detail)
{
    return failure(Kind::DownloadFailed, code, detail,
                   QStringLiteral("the download of %1 failed: %2").arg(fileName, detail));
}

UpdateStep UpdateStep::downloadRefused(const QString &code, const QString &detail)
{
    UpdateStep step = failure(Kind::DownloadRefused, code, detail, QString());
    step.subject = detail;
    return step;
}

UpdateStep UpdateStep::imageRefused(const QString &name, int smallestImageBytes)
{
    const QString tooSmall = QStringLiteral("less than %1 bytes").arg(smallestImageBytes);
    UpdateStep step = failure(Kind::ImageRefused, QString(::reasonCode(Reason::TooSmall)), tooSmall,
                              QStringLiteral("the server sent %1 for %2").arg(tooSmall, name));
    step.subject = name;
    return step;
}

UpdateStep UpdateStep::badName(const QString &name, qint64 imageSize)
{
    const QString problem =
        QStringLiteral("the name ") + BootloaderProtocol::headerNameProblem(name, imageSize);
    UpdateStep step = failure(
        Kind::BadName, QString(::reasonCode(Reason::BadName)), problem,
        QStringLiteral("the catalogue names an image '%1' that cannot be sent to the meter: %2")
            .arg(name, problem));
    step.subject = name;
    return step;
}

UpdateStep UpdateStep::imageFailed(const QString &name, const FirmwareFlasher::FlashFailure &why)
{
    UpdateStep step =
        failure(Kind::ImageFailed, why.code(), why.describe(),
                QStringLiteral("writing %1 to the meter failed: %2").arg(name, why.describe()));
    step.subject = name;
    return step;
}

UpdateStep UpdateStep::meterChosen(const QString &meter, const QString &lastUpdate)
{
    return of(Kind::MeterChosen,
              lastUpdate.isEmpty() ? meter
                                   : QStringLiteral("%1 (last update %2)").arg(meter, lastUpdate));
}

UpdateStep UpdateStep::meterOutcome(const QString &meter, const QString &version, bool updated)
{
    if (updated)
        return of(Kind::MeterUpdated, QStringLiteral("%1 now has version %2").arg(meter, version));
    return of(Kind::MeterNotUpdated,
              version.isEmpty()
                  ? QStringLiteral("%1 was not updated").arg(meter)
                  : QStringLiteral("%1 was not updated to version %2").arg(meter, version));
}

UpdateStep UpdateStep::releaseListReceived(qsizetype versions)
{
    return of(Kind::ReleaseListReceived, QStringLiteral("%1 versions").arg(versions));
}

QString UpdateStep::nextStep(Frontend frontend) const
{
    QString action;
    switch (kind) {
    case Kind::NoInternet:
    case Kind::Untrusted:
        return catalogueAction(reasonCode, frontend);
    case Kind::BadBranch:
        return frontend == Frontend::Window
                   ? QStringLiteral("Choose Branch and type the branch you were given, or leave it "
                                    "empty for the standard one.")
                   : QStringLiteral("Name the branch you were given with --branch, or leave it "
                                    "out for the saved or the standard one.");
    case Kind::UnknownVersion:
        action = otherVersion(frontend);
        break;
    case Kind::NoMeter:
        action = QStringLiteral("attach it, bring it %1, then %2")
                     .arg(intoBootloaderMode, again(frontend));
        break;
    case Kind::PortFailed:
        action = hint.isEmpty() ? QStringLiteral("unplug it, bring it %1 again, then %2")
                                      .arg(intoBootloaderMode, again(frontend))
                                : asClause(hint);
        break;
    case Kind::NotCompatible:
        action = QStringLiteral("check that it is a power meter this program updates, bring it "
                                "%1, then %2")
                     .arg(intoBootloaderMode, again(frontend));
        break;
    case Kind::NoFirmware:
        // An empty list says why in its hint; a version without this meter's firmware is the
        // version's doing.
        action = hint.isEmpty() ? otherVersion(frontend) : asClause(hint);
        break;
    case Kind::DownloadFailed:
    case Kind::DownloadRefused:
    case Kind::FolderRefused:
        action = releaseAction(reasonCode, frontend);
        break;
    case Kind::BadName:
        action = QStringLiteral("this release cannot be installed: ") + otherVersion(frontend);
        break;
    case Kind::ImageFailed:
    case Kind::Failed:
        // Without a transfer failure the images were refused before writing; their lines said so.
        if (reasonCode.isEmpty())
            return QString();
        return QStringLiteral("The meter may be left half-written: bring it back %1, then %2.")
            .arg(intoBootloaderMode, again(frontend));
    case Kind::BranchPath:
    case Kind::Connecting:
    case Kind::ReconnectFailed:
    case Kind::FlashingFirmware:
    case Kind::Updating:
    case Kind::ImageRefused:
    case Kind::FlashingImage:
    case Kind::Complete:
    case Kind::StillRunning:
    case Kind::DownloadingRelease:
    case Kind::ReleaseSaved:
    case Kind::ReleaseFolder:
    case Kind::MeterChosen:
    case Kind::MeterUpdated:
    case Kind::MeterNotUpdated:
    case Kind::ReleaseListReceived:
    case Kind::NoSleepLock:
        return QString();
    }
    return notWritten + action + QLatin1Char('.');
}
