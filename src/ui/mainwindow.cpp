// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "mainwindow.h"

#include "releasebranchdialog.h"
#include "releasebranchsetting.h"
#include "ui_mainwindow.h"
#include "ui_releasebranchdialog.h"

#include <QCloseEvent>
#include <QColor>
#include <QCoreApplication>
#include <QTextCursor>

namespace {
constexpr int portRefreshIntervalMs = 5000;

constexpr int releasesAtRunEnd = 3;
// A progress report comes with every 128-byte block; events between them are processed at about
// the screen's frame rate, which keeps the window live without slowing the transfer.
constexpr int progressEventsIntervalMs = 16;
const QString compatibleProductMissing =
    QStringLiteral("Compatible product eligable for update not found, Reboot and retry");
const QString closeRefused = QStringLiteral("Update in progress: please wait until it ends");
} // namespace

bool MainWindow::updateRunning = false;
QWidget *MainWindow::updateSender = nullptr;

MainWindow::MainWindow(QWidget *parent) : MainWindow(NVKCloudInterface::defaultServerUrl(), parent)
{
}

MainWindow::MainWindow(const QString &releaseServerUrl, QWidget *parent)
    : QMainWindow(parent), cloud(releaseServerUrl), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    setFixedSize(width(), height());
    // The serial waits of a run block this thread; the window must go on answering meanwhile.
    serialLink.waitHook = [] { QCoreApplication::processEvents(QEventLoop::AllEvents); };

    connect(&cloud, &NVKCloudInterface::versions_update, this, &MainWindow::versions_update);
    connect(&cloud, &NVKCloudInterface::no_internet_connection, this,
            &MainWindow::no_internet_connection);

    ports_update();
    portTimer.setSingleShot(false);
    portTimer.setInterval(portRefreshIntervalMs);
    portTimer.start();
    connect(&portTimer, SIGNAL(timeout()), this, SLOT(ports_update()));

    writeStatus(QStringLiteral("Welcome to Lumetra v2"), QStringLiteral("Black"));
    writeStatus(QStringLiteral("Power down power meter, hold joystick button, and press power "
                               "button to enter bootloader mode"),
                QStringLiteral("Black"));
    refreshVersions();
}

MainWindow::~MainWindow()
{
    // A run of this window can never end once it is gone; it must not lock out another window.
    if (updateSender && isAncestorOf(updateSender)) {
        updateSender = nullptr;
        updateRunning = false;
    }
    delete ui;
}

void MainWindow::writeStatus(const QString &text, const QString &colourName)
{
    QColor colour;
    colour.setNamedColor(colourName);
    // The text colour is applied to any selection the user has made in the log (to copy it,
    // say), which would recolour earlier lines: colour the new line alone, then give the user
    // the selection back.
    const QTextCursor userCursor = ui->statusText->textCursor();
    if (userCursor.hasSelection())
        ui->statusText->moveCursor(QTextCursor::End);
    ui->statusText->setTextColor(colour);
    ui->statusText->append(text);
    if (userCursor.hasSelection())
        ui->statusText->setTextCursor(userCursor);
    // The caller may be about to block the GUI thread on the serial line: paint the line now.
    ui->statusText->update();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void MainWindow::progress_update(int percentComplete)
{
    // setValue repaints the bar at once, and only when the value changes.
    ui->progressBar->setValue(percentComplete);
    if (progressEventsClock.isValid() && progressEventsClock.elapsed() < progressEventsIntervalMs)
        return;
    progressEventsClock.start();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // Closing now would leave the meter half-written and the user without the result; the run
    // always comes to an end of its own.
    if (runInProgress) {
        event->ignore();
        if (!closeRefusedThisRun) {
            closeRefusedThisRun = true;
            writeStatus(closeRefused, QStringLiteral("Orange"));
        }
        return;
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::no_internet_connection()
{
    writeStatus(QStringLiteral("No Internet Connection"), QStringLiteral("Red"));
}

void MainWindow::versions_update()
{
    ui->versionsCombo->clear();
    for (const QString &tagName : std::as_const(cloud.versionList))
        ui->versionsCombo->addItem(tagName);
    if (!cloud.versionList.isEmpty())
        ui->versionsCombo->setCurrentIndex(ui->versionsCombo->findText(cloud.versionList.last()));
}

QStringList MainWindow::findDevicePorts(const QList<UsbIdentifier> &deviceIdentifiers)
{
    return DevicePorts::names(DevicePorts::find(deviceIdentifiers));
}

void MainWindow::ports_update()
{
    const QStringList names = findDevicePorts(deviceIdentifiers());
    ui->serialPortCombo->clear();
    ui->serialPortCombo->addItems(names);
    ui->serialPortCombo->update();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void MainWindow::refreshVersions()
{
    const QString branch = ReleaseBranchSetting::current();
    if (branch != ReleaseBranchSetting::standardBranch())
        writeStatus(QStringLiteral("Branch Path: ") + branch, QStringLiteral("Green"));
    cloud.requestVersions(branch, ui->showBetaCheckBox->isChecked());
}

void MainWindow::on_branchButton_clicked()
{
    // Parented to the window so it opens over it. The stored path starts selected in the
    // focused text box: typing replaces it, and Return accepts what was typed.
    releaseBranchDialog dialog(this);
    dialog.setModal(true);
    dialog.ui->branchNameTextBox->setText(ReleaseBranchSetting::stored());
    dialog.ui->branchNameTextBox->selectAll();
    if (dialog.exec() != QDialog::Accepted)
        return;
    ReleaseBranchSetting::store(dialog.ui->branchNameTextBox->text());
    refreshVersions();
}

void MainWindow::on_showBetaCheckBox_stateChanged(int)
{
    refreshVersions();
}

// The click half of a run: find and open the meter, ask who it is, and start the download. The
// run goes on in firmwareDownloadFinished or firmwareDownloadFailed; every other way out ends
// the run here with the button enabled again.
void MainWindow::on_updateButton_clicked()
{
    updateSender = qobject_cast<QWidget *>(sender());
    if (!updateSender)
        updateSender = ui->updateButton;
    updateSender->setEnabled(false);
    if (updateRunning)
        return;

    updateRunning = true;
    runInProgress = true;
    closeRefusedThisRun = false;
    lockControls();
    writeStatus(QStringLiteral("Connecting..."), QStringLiteral("Green"));

    // A port that never opened has no link to query through.
    if (!openDevicePort() || !serialLink.port.isOpen()) {
        endRun();
        return;
    }

    const QString hardwareId = session.identify();
    // Without a meter that identifies itself there is nothing to ask the server for.
    if (!MeterSession::isCompatible(hardwareId)) {
        writeStatus(compatibleProductMissing, QStringLiteral("Red"));
        endRun();
        return;
    }

    listenForDownload(true);
    cloud.requestFirmware(ui->versionsCombo->currentText(), hardwareId);
    if (cloud.firmwareFiles.isEmpty()) {
        listenForDownload(false);
        writeStatus(QStringLiteral("Error: No firmware for this device in this version"),
                    QStringLiteral("Red"));
        endRun();
    }
}

SerialLink *MainWindow::openDevicePort()
{
    const QStringList ports = findDevicePorts(deviceIdentifiers());
    if (ports.isEmpty()) {
        writeStatus(QStringLiteral("Failed to find Power Meter device, please restart, reconnect, "
                                   "and retry"),
                    QStringLiteral("Red"));
        return nullptr;
    }

    if (!session.open(ports.first()))
        writeStatus(QStringLiteral("Port failed to open"), QStringLiteral("Red"));
    return &serialLink;
}

void MainWindow::firmwareDownloadFinished()
{
    listenForDownload(false);
    // The version shown now, which may differ from the one whose files were downloaded.
    updateFirmware(ui->versionsCombo->currentText());
    endRun();
}

void MainWindow::firmwareDownloadFailed(const QString &)
{
    listenForDownload(false);
    writeStatus(QStringLiteral("Error: Firmware download failed"), QStringLiteral("Red"));
    endRun();
}

void MainWindow::updateFirmware(const QString &version)
{
    openDevicePort();
    if (!serialLink.port.isOpen()) {
        writeStatus(QStringLiteral("Failed to connect"), QStringLiteral("Red"));
        return;
    }

    writeStatus(QStringLiteral("Flashing Firmware ") + version, QStringLiteral("Orange"));
    connect(&flasher, &FirmwareFlasher::progress_update, this, &MainWindow::progress_update,
            Qt::UniqueConnection);
    ui->progressBar->setValue(0);
    ui->progressBar->update();
    QCoreApplication::processEvents(QEventLoop::AllEvents);

    if (!session.checkProduct()) {
        writeStatus(compatibleProductMissing, QStringLiteral("Red"));
        closePort();
        return;
    }

    writeStatus(QStringLiteral("Updating..."), QStringLiteral("Green"));
    const bool ok = flashDownloadedImages();
    session.sendClosingCommand();
    if (ok)
        writeStatus(QStringLiteral("Update complete"), QStringLiteral("Green"));
    else
        writeStatus(QStringLiteral("ERROR: Update failed"), QStringLiteral("Red"));
    closePort();
}

// Flashes every downloaded image in key order; one that is missing or fails does not stop the
// others, but the run then reports failure.
bool MainWindow::flashDownloadedImages()
{
    QList<MeterImage> images;
    for (const FirmwareFile &file : std::as_const(cloud.firmwareFiles))
        images.append({file.name, file.image});
    return session.flashImages(images, [this](MeterSession::ImageStep step, const QString &name) {
        if (step == MeterSession::ImageStep::Refused)
            writeStatus(QStringLiteral("Error: Firmware image missing from server"),
                        QStringLiteral("Red"));
        else if (step == MeterSession::ImageStep::BadName)
            writeStatus(QStringLiteral("Error: Firmware image name cannot be sent to the meter"),
                        QStringLiteral("Red"));
        else if (step == MeterSession::ImageStep::Writing)
            writeStatus(QStringLiteral("Flashing image ") + name, QStringLiteral("Orange"));
    });
}

void MainWindow::closePort()
{
    if (!serialLink.port.isOpen())
        return;
    for (int i = 0; i < releasesAtRunEnd; ++i)
        serialLink.release();
}

void MainWindow::listenForDownload(bool listen)
{
    if (listen) {
        connect(&cloud, &NVKCloudInterface::firmware_download_finished, this,
                &MainWindow::firmwareDownloadFinished);
        connect(&cloud, &NVKCloudInterface::firmware_download_failed, this,
                &MainWindow::firmwareDownloadFailed);
    } else {
        disconnect(&cloud, &NVKCloudInterface::firmware_download_finished, this,
                   &MainWindow::firmwareDownloadFinished);
        disconnect(&cloud, &NVKCloudInterface::firmware_download_failed, this,
                   &MainWindow::firmwareDownloadFailed);
    }
}

// Every run ends here: no hold on the link survives into the next run, however many images
// were flashed, so the port is closed and the next run opens it afresh.
void MainWindow::endRun()
{
    session.release();
    updateRunning = false;
    runInProgress = false;
    unlockControls();
    if (updateSender)
        updateSender->setEnabled(true);
    // Disabling the button moved the keyboard focus away; the next run is a key press away.
    ui->updateButton->setFocus(Qt::OtherFocusReason);
}

void MainWindow::lockControls()
{
    lockedControls.clear();
    const QList<QWidget *> controls{ui->branchButton, ui->showBetaCheckBox, ui->versionsCombo,
                                    ui->serialPortCombo};
    for (QWidget *control : controls) {
        lockedControls.append({control, control->isEnabledTo(this)});
        control->setEnabled(false);
    }
}

void MainWindow::unlockControls()
{
    for (const auto &[control, wasEnabled] : std::as_const(lockedControls)) {
        if (control)
            control->setEnabled(wasEnabled);
    }
    lockedControls.clear();
}
