// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "deviceports.h"
#include "firmwareflasher.h"
#include "metersession.h"
#include "nvkcloudinterface.h"
#include "seriallink.h"
#include "updatehistory.h"

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
    void firmwareDownloadFinished();
    void no_internet_connection();
    void on_branchButton_clicked();
    void on_historyButton_clicked();
    void on_showBetaCheckBox_stateChanged(int arg1);
    void firmwareDownloadFailed(const QString &fileName, const DownloadFailure &reason);
    void catalogueFailed(const DownloadFailure &reason);

private:
    void refreshVersions();
    // The meter's last update from the history, as a line for its tooltip; empty without one.
    QString lastUpdateLine(const QSerialPortInfo &port);
    // A step as the log shows it: its line in the colour of its tone, then for a failure the
    // reason and what to do, each on one more line in the same colour.
    void showStep(const UpdateStep &step);
    // The catalogue request's one "No Internet Connection", whether it timed out or failed.
    void showCatalogueFailure(const UpdateStep &step);
    void listenForDownload(bool listen);
    void endRun();
    // Controls that could start, change or stall a run are disabled for its length and then
    // given back the state they had.
    void lockControls();
    void unlockControls();

    FirmwareFlasher flasher;
    NVKCloudInterface cloud;
    SerialLink serialLink;
    // The device half of a run, which lumetra-flash shares.
    MeterSession session{serialLink, flasher, QStringLiteral("lumetra-updater")};
    QTimer portTimer;
    // Read for the port list's tooltips; LUMETRA_HISTORY names another file.
    UpdateHistory history;
    Ui::MainWindow *ui;

    // This window's run, from the click to its end: the serial waits process events meanwhile.
    bool runInProgress = false;
    bool closeRefusedThisRun = false;
    // The port of the meter chosen in the list at the click: both halves of the run write it.
    QString runPort;
    QList<QPair<QPointer<QWidget>, bool>> lockedControls;
    // The latest catalogue request has had its failure line: a failure after the time-out (or a
    // second time-out) adds none.
    bool catalogueFailureShown = false;
    // Why the latest request listed nothing, for an Update pressed with an empty list; empty
    // while nothing is known (the server could not be reached, as far as the user can tell).
    QString emptyListCause;
    QElapsedTimer progressEventsClock;

    // Process-wide: a second window could not run an update while this one does.
    static bool updateRunning;
    static QWidget *updateSender;

    friend class MainWindowTest;
    friend class PortDiscoveryTest;
    friend class UpdateWorkflowTest;
};
