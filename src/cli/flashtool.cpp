// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "flashtool.h"

#include "benchtool.h"
#include "bundledownload.h"
#include "deviceports.h"
#include "firmwareflasher.h"
#include "historylisting.h"
#include "interruptguard.h"
#include "localfile.h"
#include "offlinerelease.h"
#include "releasebranchsetting.h"
#include "releaselocation.h"
#include "reporter.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>

#include <algorithm>

namespace {

using Kind = UpdateStep::Kind;
constexpr double millisecondsPerSecond = 1000.0;

// The exit status of a run that ended with outcome: one per kind of failure, so that a script
// can tell what to do next.
ExitCode exitCodeOf(const UpdateStep &outcome)
{
    if (!outcome.isFailure())
        return ExitCode::Success;
    switch (outcome.kind) {
    case Kind::NoMeter:
    case Kind::PortFailed:
    case Kind::ReconnectFailed:
        return ExitCode::NoMeter;
    case Kind::NotCompatible:
        return ExitCode::NotCompatible;
    case Kind::NoInternet:
    case Kind::Untrusted:
    case Kind::UnknownVersion:
    case Kind::NoFirmware:
    case Kind::DownloadRefused:
    case Kind::BadName: // nothing was written: the release itself names an image the meter cannot
                        // take
        return ExitCode::Catalogue;
    case Kind::DownloadFailed:
    case Kind::ImageRefused:
        return ExitCode::Download;
    default:
        break;
    }
    return ExitCode::Flashing;
}

// The meters that a --port value names: the one on that port (its name or device path), or else
// those whose USB serial number it is.
QList<QSerialPortInfo> portsNamed(const QList<QSerialPortInfo> &ports, const QString &wanted)
{
    for (const QSerialPortInfo &port : ports) {
        if (port.portName() == wanted || port.systemLocation() == wanted)
            return {port};
    }
    QList<QSerialPortInfo> named;
    for (const QSerialPortInfo &port : ports) {
        if (!port.serialNumber().isEmpty() && port.serialNumber() == wanted)
            named.append(port);
    }
    return named;
}

QString usbIds(const QSerialPortInfo &port)
{
    return QStringLiteral("%1:%2")
        .arg(port.vendorIdentifier(), 4, 16, QLatin1Char('0'))
        .arg(port.productIdentifier(), 4, 16, QLatin1Char('0'));
}

// Why NAME cannot travel in the header block with an image of imageSize bytes; empty when it can.
QString nameProblem(const QString &name, qint64 imageSize)
{
    const QString problem = FirmwareFlasher::headerNameProblem(name, imageSize);
    if (problem.isEmpty())
        return problem;
    if (name.isEmpty())
        return QStringLiteral("the name sent to the meter %1 (give one with --name)").arg(problem);
    return QStringLiteral("the name '%1' sent to the meter %2 (give one with --name)")
        .arg(name, problem);
}

} // namespace

FlashTool::FlashTool(const Invocation &invocationToRun, Reporter &output)
    : invocation(invocationToRun), reporter(output), cloud(invocationToRun.serverUrl),
      history(invocationToRun.historyPath.isEmpty() ? UpdateHistory::defaultPath()
                                                    : invocationToRun.historyPath)
{
    updateRun.keepHistory(&history, reporter.record().program);
    updateRun.setExitStatus([](const UpdateStep &outcome) { return int(exitCodeOf(outcome)); });
    // A record that cannot be kept is said, and changes nothing of the update.
    QObject::connect(&updateRun, &UpdateRun::historyNote, &updateRun,
                     [this](const QString &line) { reporter.note(line); });
    QObject::connect(&flasher, &FirmwareFlasher::bytesSentChanged, &flasher,
                     [this](qint64 bytesSent, qint64 imageSize) {
                         imageInProgress.bytesSent = bytesSent;
                         imageInProgress.size = imageSize;
                         reporter.progress(imageInProgress);
                     });
    if (invocation.trace) {
        trace.emplace(reporter);
        link.setTraceHook([this](SerialLink::Direction direction, const QByteArray &bytes) {
            trace->record(direction, bytes);
        });
    }
}

ExitCode FlashTool::run()
{
    switch (invocation.command) {
    case Invocation::Command::List:
        return list();
    case Invocation::Command::Versions: {
        // A listing on success; on failure the result object, as update gives, says why.
        const ExitCode listed = versions();
        return listed == ExitCode::Success ? listed : reporter.result(listed);
    }
    case Invocation::Command::Update:
        return invocation.all ? updateAll() : reporter.result(update());
    case Invocation::Command::Flash:
        return reporter.result(flash());
    case Invocation::Command::Download:
        return reporter.result(saveRelease(invocation.output));
    case Invocation::Command::History:
        return HistoryListing(invocation, reporter).run();
    }
    return ExitCode::Usage;
}

ExitCode FlashTool::list()
{
    const QList<QSerialPortInfo> ports = DevicePorts::find(DevicePorts::deviceIdentifiers());
    if (reporter.json()) {
        QJsonArray meters;
        for (const QSerialPortInfo &port : ports) {
            meters.append(QJsonObject{{"port", port.portName()},
                                      {"vendorId", port.vendorIdentifier()},
                                      {"productId", port.productIdentifier()},
                                      {"usbId", usbIds(port)},
                                      {"serialNumber", Reporter::jsonText(port.serialNumber())},
                                      {"description", Reporter::jsonText(port.description())}});
        }
        reporter.print(QJsonDocument(meters));
    } else {
        for (const QSerialPortInfo &port : ports) {
            QString line = port.portName() + QStringLiteral("  ") + usbIds(port);
            if (!port.serialNumber().isEmpty())
                line += QStringLiteral("  serial ") + port.serialNumber();
            if (!port.description().isEmpty())
                line += QStringLiteral("  ") + port.description();
            reporter.print(line);
        }
    }
    if (ports.isEmpty()) {
        reporter.error(QStringLiteral("no meter in bootloader mode found"));
        return ExitCode::NoMeter;
    }
    return ExitCode::Success;
}

ExitCode FlashTool::versions()
{
    noteSavedBranch();
    if (!loadCatalogue(false))
        return ExitCode::Catalogue;
    if (!reporter.json()) {
        for (const QString &tag : cloud.versions())
            reporter.print(tag);
        return ExitCode::Success;
    }
    // Every version carries whether the catalogue listing it verified, and under which key: a
    // script that keeps the listing keeps that with it.
    const ReleaseSignature::Result &signature = cloud.catalogueSignature();
    const QJsonValue keyId = signature.ok() ? QJsonValue(signature.keyId) : QJsonValue();
    QJsonArray list;
    for (const QString &tag : cloud.versions()) {
        QJsonObject version = cloud.entry(tag).toJson();
        version.insert(QStringLiteral("signed"), signature.ok());
        version.insert(QStringLiteral("keyId"), keyId);
        list.append(version);
    }
    reporter.print(QJsonDocument(list));
    return ExitCode::Success;
}

ExitCode FlashTool::update()
{
    if (!meterChoiceIsClear())
        return ExitCode::Usage;
    // From a release folder the whole release is checked before any meter is touched.
    std::optional<OfflineRelease> offline;
    if (!invocation.from.isEmpty()) {
        offline.emplace(updateRun, reporter);
        const ExitCode opened =
            offline->open(invocation.from, invocation.version, invocation.allowOlderRelease);
        if (opened != ExitCode::Success)
            return opened;
    }
    const QString chosenBranch = offline ? offline->branch() : branch();
    if (chosenBranch != ReleaseBranchSetting::standardBranch())
        reporter.status(UpdateStep::of(Kind::BranchPath, chosenBranch));
    if (!offline) {
        noteSavedBranch();
        if (!loadCatalogue(true))
            return ExitCode::Catalogue;
    }
    const std::optional<QString> version = offline ? offline->version() : chooseVersion();
    if (!version)
        return ExitCode::Catalogue;
    reporter.release(*version);
    return runUpdate(*version);
}

ExitCode FlashTool::flash()
{
    const std::optional<QByteArray> image = readImage();
    if (!image || !meterChoiceIsClear())
        return ExitCode::Usage;
    const QList<MeterImage> images{{invocation.name, *image}};
    updateRun.useFolder([&images](const QString &) { return images; },
                        QFileInfo(invocation.file).absoluteFilePath());
    return runUpdate(QString(), invocation.file);
}

ExitCode FlashTool::runUpdate(const QString &version, const QString &label)
{
    QEventLoop loop;
    UpdateStep outcome;
    QObject::connect(&updateRun, &UpdateRun::reported, &loop,
                     [this](const UpdateStep &step) { onStep(step); });
    QObject::connect(&updateRun, &UpdateRun::imagesChosen, &loop,
                     [this](const QString &label, const QList<MeterImage> &images) {
                         // A local file is named by the file, not by a version.
                         reporter.release(
                             invocation.command == Invocation::Command::Flash ? QString() : label,
                             images);
                     });
    QObject::connect(&updateRun, &UpdateRun::finished, &loop, [&](const UpdateStep &end) {
        outcome = end;
        loop.quit();
    });
    // The meter is chosen once; before writing, the meter session looks for it again itself.
    QString chosen;
    updateRun.start(
        [this, &chosen](UpdateRun::Moment moment) {
            if (moment == UpdateRun::Moment::BeforeWriting)
                return UpdateRun::MeterChoice{chosen, UpdateStep::noMeter(chosen)};
            const UpdateRun::MeterChoice choice = choosePort();
            chosen = choice.port;
            return choice;
        },
        version, label);
    if (updateRun.isRunning())
        loop.exec();
    interruptGuard.reset();
    // The result object and the history tell one story: what the run learnt of the meter and
    // the release, and which images the meter confirmed.
    UpdateRecord &result = reporter.record();
    const UpdateRecord &ran = updateRun.record();
    result.hardwareId = ran.hardwareId;
    result.branch = ran.branch;
    result.source = ran.source;
    result.keyId = ran.keyId;
    result.signedAt = ran.signedAt;
    if (!ran.images.isEmpty())
        result.images = ran.images;
    return failWith(outcome);
}

void FlashTool::onStep(const UpdateStep &step)
{
    switch (step.kind) {
    case Kind::FlashingFirmware:
        interruptGuard.emplace();
        break;
    case Kind::FlashingImage:
        // The meter may stay silent for this long before "D": said once, so that a quiet
        // terminal does not look hung.
        if (!meterWaitNoted) {
            reporter.note(QStringLiteral("waiting up to %1 s for the meter to get ready before "
                                         "each image")
                              .arg(flasher.timing().replyLineTimeoutMs / millisecondsPerSecond));
            meterWaitNoted = true;
        }
        imageInProgress = {step.subject, step.image, step.images, 0, 0};
        break;
    case Kind::NoSleepLock:
        if (invocation.trace)
            reporter.trace(QStringLiteral("the computer may sleep during this update: ") +
                           step.detail);
        break;
    default:
        break;
    }
    reporter.status(step);
}

ExitCode FlashTool::failWith(const UpdateStep &outcome)
{
    if (!outcome.isFailure())
        return ExitCode::Success;
    reporter.reason(outcome.reasonCode, outcome.detail);
    reporter.error(outcome.reason.isEmpty() ? outcome.text() : outcome.reason);
    // A bench worker's meter is updated again alone, by its own command line.
    const bool transferStopped =
        outcome.kind == Kind::ImageFailed && !invocation.retryCommand.isEmpty();
    const QString next =
        transferStopped
            ? QStringLiteral("The meter may be left half-written: put it back into bootloader "
                             "mode and update it alone: %1")
                  .arg(invocation.retryCommand)
            : outcome.nextStep(UpdateStep::Frontend::Terminal);
    if (!next.isEmpty())
        reporter.hint(next);
    return exitCodeOf(outcome);
}

ExitCode FlashTool::download(const QString &version, const QString &hardwareId,
                             QList<MeterImage> &images)
{
    QEventLoop loop;
    UpdateStep failed;
    QObject::connect(&cloud, &NVKCloudInterface::firmware_download_finished, &loop,
                     &QEventLoop::quit);
    QObject::connect(&cloud, &NVKCloudInterface::firmware_download_failed, &loop,
                     [&](const QString &fileName, const DownloadFailure &reason) {
                         failed = UpdateRun::downloadFailure(fileName, reason);
                         loop.quit();
                     });
    cloud.requestFirmware(version, hardwareId);
    if (cloud.downloads().isEmpty())
        failed = UpdateStep::noFirmware(version, hardwareId);
    else
        loop.exec();
    if (failed.isFailure()) {
        onStep(failed);
        return failWith(failed);
    }
    for (const FirmwareFile &file : cloud.downloads())
        images.append({file.name, file.image});
    return ExitCode::Success;
}

void FlashTool::noteSavedBranch()
{
    if (!invocation.branch && !ReleaseBranchSetting::stored().isEmpty())
        reporter.note(QStringLiteral("using the saved release branch %1 (--branch picks another)")
                          .arg(branch()));
}

QString FlashTool::branch() const
{
    if (!invocation.branch)
        return ReleaseBranchSetting::current();
    // An empty --branch means the standard branch, as an empty saved setting does.
    return invocation.branch->isEmpty() ? ReleaseBranchSetting::standardBranch()
                                        : *invocation.branch;
}

bool FlashTool::loadCatalogue(bool asStatus)
{
    QEventLoop loop;
    UpdateStep outcome;
    // The window waits on after a time-out for a late answer; a script must not, and gets the
    // window's line.
    QObject::connect(&updateRun, &UpdateRun::catalogueEnded, &loop, [&](const UpdateStep &end) {
        outcome = end;
        loop.quit();
    });
    const QString chosenBranch = branch();
    cloud.requestVersions(chosenBranch, invocation.betas);
    loop.exec();
    if (!outcome.isFailure())
        return true;
    // The window's line for a catalogue that could not be had; one that came but is not trusted
    // is said in the error line.
    if (asStatus && outcome.kind != Kind::Untrusted && outcome.kind != Kind::BadBranch)
        reporter.status(outcome);
    reporter.reason(outcome.reasonCode, outcome.detail);
    const QString catalogueUrl =
        ReleaseLocation::url(cloud.server(), chosenBranch, ReleaseLocation::Resource::Catalogue)
            .toDisplayString();
    if (outcome.kind == Kind::Untrusted)
        reporter.error(QStringLiteral("the release catalogue at %1 is not trusted: %2")
                           .arg(catalogueUrl, outcome.detail));
    else
        reporter.error(QStringLiteral("release catalogue unavailable at %1: %2")
                           .arg(catalogueUrl, outcome.detail));
    reporter.hint(outcome.nextStep(UpdateStep::Frontend::Terminal));
    return false;
}

std::optional<QString> FlashTool::chooseVersion()
{
    QString version;
    const UpdateStep refused = UpdateRun::chooseVersion(
        cloud.versions(), invocation.version.value_or(QString()), cloud.branch(), version);
    if (!refused.isFailure())
        return version;
    // Without --betas the catalogue lists no pre-release, which may be the one asked for.
    const bool mayBeHidden = invocation.version && !invocation.betas;
    reporter.error(refused.reason + (mayBeHidden ? QStringLiteral(" (pre-releases and betas are "
                                                                  "listed with --betas)")
                                                 : QString()));
    return std::nullopt;
}

QList<QSerialPortInfo> FlashTool::candidateMeters() const
{
    // Only a port that carries the meter's ids is ever written to, whatever was typed.
    const QList<QSerialPortInfo> ports = DevicePorts::find(DevicePorts::deviceIdentifiers());
    return invocation.port.isEmpty() ? ports : portsNamed(ports, invocation.port);
}

bool FlashTool::meterChoiceIsClear()
{
    const QList<QSerialPortInfo> candidates = candidateMeters();
    if (candidates.size() <= 1)
        return true;
    reporter.error(refuseToGuess(candidates));
    return false;
}

UpdateRun::MeterChoice FlashTool::choosePort()
{
    const QList<QSerialPortInfo> candidates = candidateMeters();
    // Checked again: a meter plugged in since the first check must not make it a guess either.
    if (candidates.size() > 1) {
        UpdateStep guess = UpdateStep::noMeter(QString());
        guess.reason = refuseToGuess(candidates);
        return {QString(), guess};
    }
    if (candidates.isEmpty())
        return {QString(), UpdateStep::noMeter(invocation.port)};
    const QSerialPortInfo &meter = candidates.first();
    reporter.meter(meter.portName(), meter.serialNumber());
    return {meter.portName(), UpdateStep()};
}

QString FlashTool::refuseToGuess(const QList<QSerialPortInfo> &meters)
{
    QStringList listed;
    for (const QSerialPortInfo &meter : meters) {
        listed.append(
            meter.serialNumber().isEmpty()
                ? meter.portName()
                : QStringLiteral("%1 (serial %2)").arg(meter.portName(), meter.serialNumber()));
    }
    const QString count = QString::number(meters.size());
    const QString list = listed.join(QStringLiteral(", "));
    if (invocation.port.isEmpty())
        return QStringLiteral("%1 meters are attached: %2; choose one with --port NAME or "
                              "--port SERIAL (see list)")
            .arg(count, list);
    return QStringLiteral("%1 meters carry the serial number %2: %3; choose one with --port and "
                          "its port name")
        .arg(count, invocation.port, list);
}

std::optional<QByteArray> FlashTool::readImage()
{
    const QString &path = invocation.file;
    const auto refuse = [&](const QString &why) {
        reporter.error(QStringLiteral("cannot flash %1: %2").arg(path, why));
        return std::optional<QByteArray>();
    };
    // Opened once, without waiting, and read only when a regular file no larger than any image
    // the server may send: a device, FIFO or /proc file neither hangs nor floods the program.
    LocalFile::Failure failure;
    const std::optional<QByteArray> read =
        LocalFile::read(path, NVKCloudInterface::Limits().maximumImageBytes, failure);
    if (!read)
        return refuse(failure.why);
    const QByteArray &image = *read;
    if (image.isEmpty())
        return refuse(QStringLiteral("the file is empty"));
    if (image.size() < MeterSession::smallestImageBytes)
        return refuse(QStringLiteral("%1 bytes is less than the %2 of the smallest firmware image")
                          .arg(image.size())
                          .arg(MeterSession::smallestImageBytes));
    // The one check flash makes of what the file is: the digest the user was given with it.
    const QString digest =
        QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex());
    if (!invocation.sha256.isEmpty() && digest != invocation.sha256)
        return refuse(QStringLiteral("its SHA-256 is %1, not the %2 given with --sha256")
                          .arg(digest, invocation.sha256));
    const QString problem = nameProblem(invocation.name, image.size());
    if (!problem.isEmpty())
        return refuse(problem);
    return image;
}

ExitCode FlashTool::saveRelease(const QString &folder)
{
    noteSavedBranch();
    BundleDownload release(cloud, reporter);
    release.namesFolder = !invocation.all;
    return release.run(
        folder, branch(), invocation.betas, [this] { return chooseVersion(); },
        [this](const QString &version, const QString &hardwareId, QList<MeterImage> &images) {
            return download(version, hardwareId, images);
        });
}

ExitCode FlashTool::updateAll()
{
    // The release is fetched (or the folder checked) once, here, for every meter of the bench.
    BenchTool bench(invocation, reporter);
    if (!bench.findMeters())
        return bench.endWithoutMeters();
    QString folder = invocation.from;
    const ExitCode ready =
        folder.isEmpty() ? saveRelease(folder = bench.releaseFolder())
                         : OfflineRelease(updateRun, reporter)
                               .open(folder, invocation.version, invocation.allowOlderRelease);
    if (ready != ExitCode::Success)
        return reporter.result(ready);
    return bench.run(folder);
}
