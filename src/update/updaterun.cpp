// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "updaterun.h"

#include "deviceports.h"
#include "firmwarefile.h"
#include "nvkcloudinterface.h"
#include "reason.h"
#include "releasebranchsetting.h"
#include "releasetrust.h"
#include "updatehistory.h"

#include <QCryptographicHash>
#include <QFileInfo>

namespace {
// The answer of a server that has no such branch.
constexpr int httpNotFound = 404;
} // namespace

UpdateRun::UpdateRun(NVKCloudInterface &client, MeterSession &meterSession, QObject *parent)
    : QObject(parent), cloud(client), session(meterSession)
{
    session.setReport([this](const UpdateStep &step) { report(step); });

    // Every catalogue request ends in one of three ways; each front end hears the same outcome.
    connect(&cloud, &NVKCloudInterface::catalogue_received, this, [this] {
        catalogueProblem = UpdateStep();
        catalogueListed = true;
        emit catalogueEnded(catalogueProblem);
    });
    connect(&cloud, &NVKCloudInterface::catalogue_failed, this,
            [this](const DownloadFailure &reason) {
                catalogueProblem = catalogueFailure(reason, cloud.branch());
                emit catalogueEnded(catalogueProblem);
            });
    connect(&cloud, &NVKCloudInterface::no_internet_connection, this, [this] {
        catalogueProblem = UpdateStep::catalogueTimedOut(cloud.limits().jsonTimeoutMs);
        emit catalogueEnded(catalogueProblem);
    });
    // A new request forgets why the previous one failed: its list starts empty again.
    connect(&cloud, &NVKCloudInterface::versions_update, this, [this] {
        if (cloud.versions().isEmpty() && cloud.isWaitingForCatalogue()) {
            catalogueProblem = UpdateStep();
            catalogueListed = false;
        }
    });
}

UpdateStep UpdateRun::catalogueFailure(const DownloadFailure &reason, const QString &branch)
{
    // A catalogue that came but may not be used is said as such: an empty list alone would read
    // as no releases.
    if (ReleaseTrust::isRefusal(reason))
        return UpdateStep::untrusted(reason.code, reason.detail);
    // A branch name that breaks the rule is never requested; the line names it.
    if (reason.code == DownloadFailure::badBranch)
        return UpdateStep::badBranch(reason.detail);
    UpdateStep step = UpdateStep::noInternet(reason.code, reason.detail);
    if (reason.httpStatus == httpNotFound && branch != ReleaseBranchSetting::standardBranch())
        step.reason =
            QStringLiteral("the release branch %1 was not found on the server").arg(branch);
    return step;
}

UpdateStep UpdateRun::chooseVersion(const QList<QString> &listed, const QString &wanted,
                                    const QString &branch, QString &version)
{
    version.clear();
    if (wanted.isEmpty()) {
        if (listed.isEmpty())
            return UpdateStep::unknownVersion(
                QStringLiteral("the catalogue of branch %1 lists no version").arg(branch));
        version = listed.last(); // the newest, which the window preselects
        return UpdateStep();
    }
    if (listed.contains(wanted)) {
        version = wanted;
        return UpdateStep();
    }
    return UpdateStep::unknownVersion(
        QStringLiteral("version '%1' is not in the catalogue of branch %2").arg(wanted, branch));
}

void UpdateRun::report(const UpdateStep &step)
{
    if (step.isFailure())
        failures.append(step);
    recordStep(step);
    emit reported(step);
}

DownloadFailure UpdateRun::useReleaseFolder(const QString &folder, bool olderAllowed)
{
    DownloadFailure failure;
    std::optional<ReleaseBundle> loaded =
        ReleaseBundle::load(folder, cloud.trust(), olderAllowed, failure);
    if (!loaded)
        return failure;
    bundle = std::move(loaded);
    // The folder holds one version, whatever the catalogue marks as a beta.
    cloud.useCatalogue(bundle->catalogue(), bundle->branch(), true);
    useFolder(
        [this](const QString &hardwareId) {
            QList<MeterImage> images;
            const QList<ReleaseBundle::Image> chosen = bundle->imagesFor(hardwareId);
            for (const ReleaseBundle::Image &image : chosen)
                images.append({image.key, image.bytes});
            return images;
        },
        QFileInfo(folder).absoluteFilePath());
    return failure;
}

void UpdateRun::useServer()
{
    bundle.reset();
    folderImages = nullptr;
    folderSource.clear();
}

void UpdateRun::keepHistory(UpdateHistory *kept, UpdateRecord::Program writer)
{
    history = kept;
    program = writer;
}

void UpdateRun::recordStep(const UpdateStep &step)
{
    // The session reports an image's failure right after its transfer, before anything else: an
    // image still in flight when the next step comes was confirmed by the meter block by block.
    const auto settle = [this](bool confirmed) {
        if (imageInFlight >= 0 && imageInFlight < runRecord.images.size())
            runRecord.images[imageInFlight].confirmed = confirmed;
        imageInFlight = -1;
    };
    switch (step.kind) {
    case UpdateStep::Kind::FlashingImage: {
        settle(true);
        const int index = step.image - 1;
        if (index >= 0 && index < runRecord.images.size() &&
            runRecord.images.at(index).name == step.subject)
            imageInFlight = index;
        break;
    }
    case UpdateStep::Kind::ImageFailed:
        settle(false);
        break;
    case UpdateStep::Kind::ImageRefused:
    case UpdateStep::Kind::Complete:
    case UpdateStep::Kind::Failed:
        settle(true);
        break;
    default:
        break;
    }
}

void UpdateRun::beginRecord()
{
    if (!history)
        return;
    recordId = history->begin(runRecord);
    if (!recordId)
        emit historyNote(QStringLiteral("this update is not recorded in the history: ") +
                         history->problem());
    if (!history->notice().isEmpty())
        emit historyNote(history->notice());
}

void UpdateRun::endRecord(const UpdateStep &outcome)
{
    runRecord.message = outcome.isFailure()
                            ? (outcome.reason.isEmpty() ? outcome.text() : outcome.reason)
                            : outcome.text();
    runRecord.reason = outcome.reasonCode;
    runRecord.detail = outcome.detail;
    runRecord.end(exitStatus ? exitStatus(outcome) : int(outcome.isFailure()));
    // A run that never had a meter to write is no record of one.
    if (!history || !recordId)
        return;
    if (!history->finish(*recordId, runRecord))
        emit historyNote(QStringLiteral("the end of this update is not recorded in the history: ") +
                         history->problem());
}

void UpdateRun::start(const ChooseMeter &choose, const QString &versionToInstall,
                      const QString &labelToShow)
{
    if (running)
        return;
    running = true;
    chooseMeter = choose;
    failures.clear();
    versionToWrite = versionToInstall;
    label = labelToShow.isEmpty() ? versionToInstall : labelToShow;
    hardwareId.clear();
    runRecord = UpdateRecord::started(program);
    runRecord.version = versionToWrite;
    recordId.reset();
    imageInFlight = -1;
    report(UpdateStep::of(UpdateStep::Kind::Connecting));

    const MeterChoice choice = chooseMeter(Moment::AtStart);
    if (choice.port.isEmpty()) {
        report(choice.failure);
        finish(choice.failure);
        return;
    }
    port = choice.port;
    runRecord.port = port;
    runRecord.serialNumber = DevicePorts::serialNumberOf(port);
    // From the moment a meter is chosen the run is recorded, long before anything can reach it:
    // a run that never ends (killed, crashed, a power cut) leaves "interrupted", never nothing.
    beginRecord();
    const std::optional<QString> identified = session.connect(port);
    if (!identified) {
        finish(failures.isEmpty() ? UpdateStep::noMeter(port) : failures.last());
        return;
    }
    hardwareId = *identified;
    runRecord.hardwareId = hardwareId;
    recordRelease();

    if (folderImages) {
        const QList<MeterImage> images = folderImages(hardwareId);
        if (images.isEmpty()) {
            const UpdateStep none = UpdateStep::noFirmware(versionToWrite, hardwareId);
            report(none);
            finish(none);
            return;
        }
        install(images);
        return;
    }

    listenForDownload(true);
    cloud.requestFirmware(versionToWrite, hardwareId);
    if (cloud.downloads().isEmpty()) {
        listenForDownload(false);
        const UpdateStep none = nothingToInstall();
        report(none);
        finish(none);
    }
}

UpdateStep UpdateRun::nothingToInstall() const
{
    if (!cloud.versions().isEmpty())
        return UpdateStep::noFirmware(versionToWrite, hardwareId);
    // With nothing listed there was no version to choose: say why the list is empty, naming the
    // server rather than the version.
    const QString &code = catalogueProblem.reasonCode;
    switch (catalogueProblem.kind) {
    case UpdateStep::Kind::Untrusted:
        return UpdateStep::emptyReleaseList(code,
                                            QStringLiteral("the release catalogue is not trusted"));
    case UpdateStep::Kind::BadBranch:
        return UpdateStep::emptyReleaseList(code,
                                            QStringLiteral("the release branch is not valid"));
    case UpdateStep::Kind::NoInternet:
        return UpdateStep::emptyReleaseList(code,
                                            QStringLiteral("the release server %1 gave none (%2)")
                                                .arg(cloud.server(), catalogueProblem.reason));
    default:
        break;
    }
    if (catalogueListed)
        return UpdateStep::emptyReleaseList(
            QString(), QStringLiteral("the release server %1 lists no versions on branch %2")
                           .arg(cloud.server(), cloud.branch()));
    // No answer yet: as far as the user can tell, the server has not been reached.
    return UpdateStep::emptyReleaseList(
        QString(reasonCode(Reason::Timeout)),
        QStringLiteral("the release server %1 has not answered yet").arg(cloud.server()));
}

void UpdateRun::listenForDownload(bool listen)
{
    if (listen) {
        connect(&cloud, &NVKCloudInterface::firmware_download_finished, this,
                &UpdateRun::firmwareDownloadFinished);
        connect(&cloud, &NVKCloudInterface::firmware_download_failed, this,
                &UpdateRun::downloadFailed);
    } else {
        disconnect(&cloud, &NVKCloudInterface::firmware_download_finished, this,
                   &UpdateRun::firmwareDownloadFinished);
        disconnect(&cloud, &NVKCloudInterface::firmware_download_failed, this,
                   &UpdateRun::downloadFailed);
    }
}

void UpdateRun::firmwareDownloadFinished()
{
    listenForDownload(false);
    QList<MeterImage> images;
    for (const FirmwareFile &file : cloud.downloads())
        images.append({file.name, file.image});
    install(images);
}

UpdateStep UpdateRun::downloadFailure(const QString &fileName, const DownloadFailure &reason)
{
    // A version whose signed entry leaves an image unchecked is refused before anything is
    // fetched: that is the release's fault, not the download's.
    if (reason.code == DownloadFailure::checksumMissing)
        return UpdateStep::downloadRefused(reason.code, reason.detail);
    return UpdateStep::downloadFailed(fileName, reason.code, reason.detail);
}

void UpdateRun::downloadFailed(const QString &fileName, const DownloadFailure &reason)
{
    listenForDownload(false);
    const UpdateStep failed = downloadFailure(fileName, reason);
    report(failed);
    finish(failed);
}

void UpdateRun::install(const QList<MeterImage> &images)
{
    // The meter may have gone while the images came, and another may have taken its port: the
    // front end says whether the meter it chose is still there.
    const MeterChoice still = chooseMeter(Moment::BeforeWriting);
    if (still.port != port) {
        const UpdateStep gone = still.port.isEmpty() ? still.failure : UpdateStep::noMeter(port);
        report(gone);
        finish(gone);
        return;
    }
    for (const MeterImage &image : images) {
        const QByteArray digest = QCryptographicHash::hash(image.bytes, QCryptographicHash::Sha256);
        runRecord.images.append(
            {image.name, image.bytes.size(), QString::fromLatin1(digest.toHex()), false});
    }
    emit imagesChosen(versionToWrite, images);
    finish(session.install(port, label, images));
}

void UpdateRun::recordRelease()
{
    runRecord.branch = cloud.branch();
    if (folderImages) {
        runRecord.source = folderSource;
        return;
    }
    runRecord.source = cloud.server();
    const ReleaseSignature::Result &signature = cloud.catalogueSignature();
    if (!signature.ok())
        return;
    runRecord.keyId = signature.keyId;
    if (const std::optional<qint64> seconds = ReleaseTrust::signedAt(signature))
        runRecord.signedAt = QDateTime::fromSecsSinceEpoch(*seconds, Qt::UTC);
}

void UpdateRun::finish(const UpdateStep &outcome)
{
    endRecord(outcome);
    // No hold on the link survives a run, however it ended: the next run opens the port afresh.
    session.release();
    running = false;
    emit finished(outcome);
}
