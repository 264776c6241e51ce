// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "deviceports.h"
#include "firmwareflasher.h"
#include "metersession.h"
#include "nvkcloudinterface.h"
#include "seriallink.h"
#include "updatehistory.h"
#include "updaterun.h"

#include <QColor>
#include <QElapsedTimer>
#include <QList>
#include <QMainWindow>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

QT_BEGIN_NAMESPACE
namespace Ui {
class MainWindow;
}
QT_END_NAMESPACE

// The updater's one window: status log, progress bar, version and port lists, and the update
// workflow that ties the serial link, the flasher and the release-server client together.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    // Talks to the release server at releaseServerUrl instead of the compiled-in one.
    explicit MainWindow(const QString &releaseServerUrl, QWidget *parent = nullptr);
    // Also trusts only trustedKeys with the catalogue's signature, instead of those built in
    // (and then requires it even in a build without any).
    MainWindow(const QString &releaseServerUrl,
               const QList<ReleaseSignature::PublicKey> &trustedKeys, QWidget *parent = nullptr);
    ~MainWindow() override;

    void writeStatus(const QString &text, const QString &colourName);
    // The waits of the flasher and of the meter session. The window keeps the defaults; tests
    // shorten them.
    void setTiming(const FirmwareFlasher::Timing &timing) { flasher.setTiming(timing); }
    void setTiming(const MeterSession::Timing &timing) { session.setTiming(timing); }

    // How long the window waits, after the release list could not be had, before asking for it
    // again by itself. Tests shorten it.
    void setCatalogueRetryInterval(int intervalMs) { catalogueRetryTimer.setInterval(intervalMs); }
    static constexpr int catalogueRetryIntervalMs = 20000;

    // The log's shade of a colour name ("Green", "Orange", "Red", "Black") on a background: a
    // darker one on a light log and a lighter one on a dark log, each of the name's hue and
    // legible against it. Other names are taken as Qt's named colours.
    static QColor logShade(const QString &colourName, const QColor &background);

    // The window's names for the port discovery it shares with the command-line program.
    static QStringList findDevicePorts(const QList<UsbIdentifier> &deviceIdentifiers);
    static QList<UsbIdentifier> deviceIdentifiers() { return DevicePorts::deviceIdentifiers(); }

protected:
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_updateButton_clicked();
    void progress_update(int percentComplete);
    void versions_update();
    void ports_update();
    void no_internet_connection();
    void on_branchButton_clicked();
    void on_historyButton_clicked();
    void on_releaseFolderButton_clicked();
    void on_showBetaCheckBox_stateChanged(int arg1);
    void catalogueReceived();
    void requestVersionsAgain();

private:
    void refreshVersions();
    // The release in folder stands in for the server until the list is asked for again.
    void useReleaseFolder(const QString &folder);
    // The last update of the meter with this serial number, as the history sums it up.
    QString lastUpdateOf(const QString &serialNumber);
    // The meter's last update from the history, as a line for its tooltip; empty without one.
    QString lastUpdateLine(const QSerialPortInfo &port);
    // A step as the log shows it: its line in the colour of its tone, then for a failure the
    // reason and what to do, each on one more line in the same colour.
    void showStep(const UpdateStep &step);
    // The catalogue request's one failure line, whether it timed out, failed or is not trusted.
    void showCatalogueFailure(const UpdateStep &step);
    // The meter chosen in the list, asked for by the run at the click and again before writing.
    UpdateRun::MeterChoice chooseMeter(UpdateRun::Moment moment);
    // The port of the meter chosen in the Port list, which the run writes; empty when the chosen
    // meter is not attached, so that no other meter is ever taken in its place. Notes which meter
    // that is, for the lines that name it.
    QString chosenMeterPort();
    // The run's port, while the meter found there at the click is still the one on it; empty
    // otherwise.
    QString runMeterPort() const;
    // The progress bar at the start of a run and after a run that failed.
    void showRunStarted();
    void showRunFailed();
    // A step's own line in its tone's colour, without the lines a failure adds.
    void writeLine(const UpdateStep &step);
    // The line after the run's end that names the meter and the version.
    void showRunEnd(const UpdateStep &outcome);
    // Every run ends here, with its outcome, once the run has let go of the meter.
    void endRun(const UpdateStep &outcome);
    // Controls that could start, change or stall a run are disabled for its length and then
    // given back the state they had.
    void lockControls();
    void unlockControls();

    FirmwareFlasher flasher;
    NVKCloudInterface cloud;
    SerialLink serialLink;
    // The device half of a run, and the whole run, which lumetra-flash shares.
    MeterSession session{serialLink, flasher, QStringLiteral("lumetra-updater")};
    UpdateRun run{cloud, session};
    QTimer portTimer;
    // Read for the port list's tooltips; LUMETRA_HISTORY names another file.
    UpdateHistory history;
    Ui::MainWindow *ui;
    // Asks for the release list again after it could not be had, until it comes.
    QTimer catalogueRetryTimer;

    // This window's run, from the click to its end: the serial waits process events meanwhile.
    bool runInProgress = false;
    bool closeRefusedThisRun = false;
    // The port of the meter chosen in the list at the click: both halves of the run write it.
    QString runPort;
    // The chosen meter's USB serial number at the click (empty: it has none), and how the lines
    // of the run name that meter.
    QString runSerialNumber;
    QString runMeter;
    QList<QPair<QPointer<QWidget>, bool>> lockedControls;
    // The latest catalogue request has had its failure line: a failure after the time-out (or a
    // second time-out) adds none.
    bool catalogueFailureShown = false;
    QElapsedTimer progressEventsClock;

    // Process-wide: a second window could not run an update while this one does.
    static bool updateRunning;
    static QWidget *updateSender;

    friend class MainWindowTest;
    friend class PortDiscoveryTest;
    friend class UpdateWorkflowTest;
};
