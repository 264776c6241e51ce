// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "downloadfailure.h"
#include "metersession.h"
#include "releasebundle.h"
#include "updaterecord.h"
#include "updatestep.h"

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class NVKCloudInterface;
class UpdateHistory;

// One update from the release to the closing command, the same for every front end: the window,
// lumetra-flash and its bench. It chooses nothing on its own and shows nothing: the front end
// names the meter and the version, subscribes to reported(), and renders each step in its own way;
// the run ends with finished() and one outcome, the step that decided a failure, or "Update
// complete".
//
//  1. "Connecting...": the front end's choice of meter is asked for, and the meter session opens
//     its port and asks the meter who it is.
//  2. The images for that meter: downloaded from the release server through the client (checked
//     there against the catalogue's bounds, checksums and signature), or taken from a release
//     folder that was checked before the run.
//  3. The meter session writes them and sends the closing command.
//
// The run also follows the client's catalogue requests, whoever makes them, so that every front
// end tells a failed or untrusted catalogue in the same words (catalogueEnded()).
//
// Lifecycle: the client and the meter session belong to the front end and outlive the run. The
// download half arrives as the client's signals, which the run listens to only while it waits.
class UpdateRun : public QObject
{
    Q_OBJECT

public:
    // The meter to write, as the front end chose it: a port, or the failure that says why there
    // is none (the run reports it).
    struct MeterChoice
    {
        QString port;
        UpdateStep failure;
    };
    // When the run asks for the meter: at the start, and again once the images are in, just
    // before anything is written, since the meter may have gone (or another taken its port)
    // during the download.
    enum class Moment { AtStart, BeforeWriting };
    using ChooseMeter = std::function<MeterChoice(Moment moment)>;
    // The images a release folder holds for a meter that identifies as hardwareId.
    using FolderImages = std::function<QList<MeterImage>(const QString &hardwareId)>;

    UpdateRun(NVKCloudInterface &cloud, MeterSession &session, QObject *parent = nullptr);

    // Takes the images from a release folder (source names it for the record) instead of the
    // server, for the runs from now on.
    void useFolder(const FolderImages &images, const QString &source = QString())
    {
        folderImages = images;
        folderSource = source;
    }
    // The release saved in folder (by lumetra-flash download) stands in for the server from now
    // on: it is read and checked once, as the server's answers are (olderAllowed: a technician
    // uses an older release on purpose), its catalogue becomes the client's list, and a run
    // writes its images. Why not, when the folder cannot be used; the source stays as it was.
    DownloadFailure useReleaseFolder(const QString &folder, bool olderAllowed = false);
    // The release server again, once a release folder was used.
    void useServer();
    // The release folder in use; nothing while the release comes from the server.
    const std::optional<ReleaseBundle> &releaseFolder() const { return bundle; }

    // Keeps a record of every run that chose a meter in history, written by program, from that
    // moment to the run's end. The history belongs to the front end.
    void keepHistory(UpdateHistory *history, UpdateRecord::Program program);
    // How a front end that gives exit statuses would end with outcome; 0 for success, 1 for any
    // failure unless set.
    void setExitStatus(const std::function<int(const UpdateStep &outcome)> &status)
    {
        exitStatus = status;
    }

    // Starts a run of version; it goes on as the download's answers arrive. A run already going
    // is not disturbed.
    // label names what is written in "Flashing Firmware" when it is not a version (a local file).
    void start(const ChooseMeter &chooseMeter, const QString &version,
               const QString &label = QString());
    bool isRunning() const { return running; }
    // The version of the latest run.
    QString version() const { return versionToWrite; }
    // What the latest run did, as the update history keeps it: the meter, the release, each
    // image and whether the meter confirmed it, and once it has ended, how.
    const UpdateRecord &record() const { return runRecord; }

    // The version a front end installs when the user named none (the newest listed), or the one
    // named; a failure step when there is none to take.
    static UpdateStep chooseVersion(const QList<QString> &listed, const QString &wanted,
                                    const QString &branch, QString &version);
    // The step for a download that failed.
    static UpdateStep downloadFailure(const QString &fileName, const DownloadFailure &reason);
    // The words for a catalogue request that failed, said once per request whatever the front end.
    static UpdateStep catalogueFailure(const DownloadFailure &reason, const QString &branch);

signals:
    void reported(const UpdateStep &step);
    // The images chosen for the meter, just before the session writes them.
    void imagesChosen(const QString &version, const QList<MeterImage> &images);
    void finished(const UpdateStep &outcome);
    // A record of the run could not be kept, or the history file was mended: one line that says
    // so. The run goes on as if nothing happened.
    void historyNote(const QString &line);
    // The end of a catalogue request: an empty step when the list is whole, or why it failed.
    void catalogueEnded(const UpdateStep &outcome);

private:
    void report(const UpdateStep &step);
    // The client has every image of the download: they are written.
    void firmwareDownloadFinished();
    void downloadFailed(const QString &fileName, const DownloadFailure &reason);
    void listenForDownload(bool listen);
    void install(const QList<MeterImage> &images);
    void finish(const UpdateStep &outcome);
    // The record follows the steps: which images the meter confirmed.
    void recordStep(const UpdateStep &step);
    void beginRecord();
    // Where the images come from, for the record.
    void recordRelease();
    void endRecord(const UpdateStep &outcome);
    // The step that ends a run with nothing to install: why the list is empty, or why the version
    // has nothing for this meter.
    UpdateStep nothingToInstall() const;

    NVKCloudInterface &cloud;
    MeterSession &session;
    FolderImages folderImages;
    std::optional<ReleaseBundle> bundle;
    ChooseMeter chooseMeter;
    bool running = false;
    QString versionToWrite;
    QString label;
    QString port;
    QString hardwareId;
    // The failures reported during this run, the last one first to decide when no step below
    // gives an outcome of its own.
    QList<UpdateStep> failures;
    UpdateHistory *history = nullptr;
    UpdateRecord::Program program = UpdateRecord::Program::Terminal;
    std::function<int(const UpdateStep &outcome)> exitStatus;
    QString folderSource;
    UpdateRecord runRecord;
    std::optional<qint64> recordId;
    int imageInFlight = -1; // the record's image being written, until its end is known
    // Why the latest catalogue request listed nothing; empty while nothing is known.
    UpdateStep catalogueProblem;
    // The latest catalogue request was answered with a list (which may be empty).
    bool catalogueListed = false;
};
