// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "flashtool.h"

#include "benchtool.h"
#include "bundledownload.h"
#include "deviceports.h"
#include "firmwareflasher.h"
#include "interruptguard.h"
#include "localfile.h"
#include "offlinerelease.h"
#include "releasebranchsetting.h"
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
// What to do after a transfer that stopped half-way: the bootloader has left download mode.
const QString rewriteAdvice =
    QStringLiteral("Put the meter back into bootloader mode and run the command again.");
constexpr double millisecondsPerSecond = 1000.0;

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
    : invocation(invocationToRun), reporter(output), cloud(invocationToRun.serverUrl)
{
    QObject::connect(&flasher, &FirmwareFlasher::bytesSentChanged, &flasher,
                     [this](qint64 bytesSent, qint64 imageSize) {
                         imageInProgress.bytesSent = bytesSent;
                         imageInProgress.size = imageSize;
                         reporter.progress(imageInProgress);
                     });
    session.setReport([this](const UpdateStep &step) { onStep(step); });
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
    case Invocation::Command::Versions:
        return versions();
    case Invocation::Command::Update:
        return invocation.all ? updateAll() : reporter.result(update());
    case Invocation::Command::Flash:
        return reporter.result(flash());
    case Invocation::Command::Download:
        return reporter.result(saveRelease(invocation.output));
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
        offline.emplace(cloud, reporter);
        const ExitCode opened = offline->open(invocation.from, invocation.version);
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

    const std::optional<QString> port = findMeter();
    if (!port)
        return ExitCode::NoMeter;
    const std::optional<QString> hardwareId = session.connect(*port);
    if (!hardwareId) {
        if (!failures.isEmpty() && failures.last().kind == Kind::NotCompatible)
            return failWith(Kind::NotCompatible, ExitCode::NotCompatible);
        return failWith(Kind::PortFailed, ExitCode::NoMeter);
    }
    QList<MeterImage> images;
    if (offline) {
        images = offline->imagesFor(*hardwareId);
        if (images.isEmpty()) {
            onStep(UpdateStep::noFirmware(*version, *hardwareId));
            return failWith(Kind::NoFirmware, ExitCode::Catalogue);
        }
    } else {
        const ExitCode downloaded = download(*version, *hardwareId, images);
        if (downloaded != ExitCode::Success)
            return downloaded;
    }
    reporter.release(*version, images);
    return install(*port, *version, images);
}

ExitCode FlashTool::flash()
{
    const std::optional<QByteArray> image = readImage();
    if (!image || !meterChoiceIsClear())
        return ExitCode::Usage;
    const std::optional<QString> port = findMeter();
    if (!port)
        return ExitCode::NoMeter;
    const QList<MeterImage> images{{invocation.name, *image}};
    reporter.release(QString(), images);
    return install(*port, invocation.file, images);
}

std::optional<QString> FlashTool::findMeter()
{
    reporter.status(UpdateStep::of(Kind::Connecting));
    return choosePort();
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
    if (!step.reasonCode.isEmpty())
        failures.append(step);
    reporter.status(step);
}

ExitCode FlashTool::failWith(UpdateStep::Kind kind, ExitCode code)
{
    QStringList why;
    const UpdateStep *first = nullptr;
    for (const UpdateStep &step : std::as_const(failures)) {
        if (step.kind != kind)
            continue;
        if (!first)
            first = &step;
        why.append(step.reason);
    }
    if (!first)
        return code;
    reporter.reason(first->reasonCode, first->detail);
    reporter.error(why.join(QStringLiteral("; ")));
    if (!first->hint.isEmpty())
        reporter.hint(first->hint);
    else if (kind == Kind::ImageFailed)
        reporter.hint(rewriteAdvice);
    return code;
}

ExitCode FlashTool::download(const QString &version, const QString &hardwareId,
                             QList<MeterImage> &images)
{
    QEventLoop loop;
    QString failedFile;
    DownloadFailure why;
    QObject::connect(&cloud, &NVKCloudInterface::firmware_download_finished, &loop,
                     &QEventLoop::quit);
    QObject::connect(&cloud, &NVKCloudInterface::firmware_download_failed, &loop,
                     [&](const QString &fileName, const DownloadFailure &reason) {
                         failedFile = fileName;
                         why = reason;
                         loop.quit();
                     });
    cloud.requestFirmware(version, hardwareId);
    if (cloud.downloads().isEmpty()) {
        onStep(UpdateStep::noFirmware(version, hardwareId));
        return failWith(Kind::NoFirmware, ExitCode::Catalogue);
    }
    loop.exec();
    if (why.code == DownloadFailure::checksumMissing) {
        onStep(UpdateStep::downloadRefused(why.code, why.detail));
        reporter.reason(why.code, why.detail);
        reporter.error(
            QStringLiteral("version %1 cannot be installed: %2").arg(version, why.detail));
        return ExitCode::Catalogue;
    }
    if (!failedFile.isNull()) {
        onStep(UpdateStep::downloadFailed(failedFile, why.code, why.detail));
        return failWith(Kind::DownloadFailed, ExitCode::Download);
    }
    for (const FirmwareFile &file : cloud.downloads())
        images.append({file.name, file.image});
    return ExitCode::Success;
}

ExitCode FlashTool::install(const QString &port, const QString &label,
                            const QList<MeterImage> &images)
{
    const MeterSession::Result result = session.install(port, label, images);
    interruptGuard.reset();
    switch (result) {
    case MeterSession::Result::Complete:
        return ExitCode::Success;
    case MeterSession::Result::MeterGone:
        reporter.error(QStringLiteral("no meter in bootloader mode on port %1").arg(port));
        return ExitCode::NoMeter;
    case MeterSession::Result::PortFailed:
        return failWith(Kind::PortFailed, ExitCode::NoMeter);
    case MeterSession::Result::NotCompatible:
        return failWith(Kind::NotCompatible, ExitCode::NotCompatible);
    case MeterSession::Result::BadName:
        // Nothing was written: the release itself names an image the meter cannot take.
        return failWith(Kind::BadName, ExitCode::Catalogue);
    case MeterSession::Result::ImageFailed:
        return failWith(Kind::ImageFailed, ExitCode::Flashing);
    case MeterSession::Result::ImageRefused:
        return failWith(Kind::ImageRefused, ExitCode::Download);
    }
    return ExitCode::Flashing;
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
    DownloadFailure failure;
    QObject::connect(&cloud, &NVKCloudInterface::catalogue_received, &loop, &QEventLoop::quit);
    QObject::connect(&cloud, &NVKCloudInterface::catalogue_failed, &loop,
                     [&](const DownloadFailure &reason) {
                         failure = reason;
                         // The window's line for a catalogue that failed at once; one that
                         // came but is not trusted is said in the error line.
                         if (asStatus && reason.code != DownloadFailure::untrusted)
                             reporter.status(UpdateStep::noInternet(reason.code, reason.detail));
                         loop.quit();
                     });
    // The window waits on for a late answer; a script must not, and gets the window's line.
    QObject::connect(&cloud, &NVKCloudInterface::no_internet_connection, &loop, [&] {
        const UpdateStep timedOut = UpdateStep::catalogueTimedOut(cloud.limits().jsonTimeoutMs);
        if (asStatus)
            reporter.status(timedOut);
        failure.code = timedOut.reasonCode;
        failure.detail = timedOut.detail;
        loop.quit();
    });
    const QString chosenBranch = branch();
    cloud.requestVersions(chosenBranch, invocation.betas);
    loop.exec();
    if (!failure.isFailure())
        return true;
    reporter.reason(failure.code, failure.detail);
    const QString catalogueUrl =
        cloud.server() + QLatin1Char('/') + chosenBranch + QStringLiteral("/lumetrarelease/");
    if (failure.code == DownloadFailure::untrusted)
        reporter.error(QStringLiteral("the release catalogue at %1 is not trusted: %2")
                           .arg(catalogueUrl, failure.detail));
    else
        reporter.error(QStringLiteral("release catalogue unavailable at %1: %2")
                           .arg(catalogueUrl, failure.detail));
    return false;
}

std::optional<QString> FlashTool::chooseVersion()
{
    const QList<QString> &versions = cloud.versions();
    if (!invocation.version) {
        if (versions.isEmpty()) {
            reporter.error(
                QStringLiteral("the catalogue of branch %1 lists no version").arg(cloud.branch()));
            return std::nullopt;
        }
        return versions.last(); // the newest, which the window preselects
    }
    if (versions.contains(*invocation.version))
        return *invocation.version;
    reporter.error(QStringLiteral("version '%1' is not in the catalogue of branch %2%3")
                       .arg(*invocation.version, cloud.branch(),
                            invocation.betas ? QString()
                                             : QStringLiteral(" (pre-releases and betas are "
                                                              "listed with --betas)")));
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
    refuseToGuess(candidates);
    return false;
}

std::optional<QString> FlashTool::choosePort()
{
    const QList<QSerialPortInfo> candidates = candidateMeters();
    // Checked again: a meter plugged in since the first check must not make it a guess either.
    if (candidates.size() > 1) {
        refuseToGuess(candidates);
        return std::nullopt;
    }
    if (candidates.isEmpty()) {
        if (invocation.port.isEmpty()) {
            reporter.status(UpdateStep::of(Kind::NoMeter));
            reporter.error(QStringLiteral("no meter in bootloader mode found"));
        } else {
            reporter.error(
                QStringLiteral("no meter in bootloader mode on port %1").arg(invocation.port));
        }
        return std::nullopt;
    }
    const QSerialPortInfo &meter = candidates.first();
    reporter.meter(meter.portName(), meter.serialNumber());
    return meter.portName();
}

void FlashTool::refuseToGuess(const QList<QSerialPortInfo> &meters)
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
        reporter.error(QStringLiteral("%1 meters are attached: %2; choose one with --port NAME or "
                                      "--port SERIAL (see list)")
                           .arg(count, list));
    else
        reporter.error(QStringLiteral("%1 meters carry the serial number %2: %3; choose one with "
                                      "--port and its port name")
                           .arg(count, invocation.port, list));
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
        return reporter.result(ExitCode::NoMeter);
    QString folder = invocation.from;
    const ExitCode ready = folder.isEmpty()
                               ? saveRelease(folder = bench.releaseFolder())
                               : OfflineRelease(cloud, reporter).open(folder, invocation.version);
    if (ready != ExitCode::Success)
        return reporter.result(ready);
    return bench.run(folder);
}
