// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "mainwindow.h"

#include "historydialog.h"
#include "releasebranchdialog.h"
#include "releasebranchsetting.h"
#include "ui_mainwindow.h"
#include "ui_releasebranchdialog.h"

#include <QCloseEvent>
#include <QColor>
#include <QCoreApplication>
#include <QScrollBar>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

namespace {
constexpr int portRefreshIntervalMs = 5000;

// A progress report comes with every 128-byte block; events between them are processed at about
// the screen's frame rate, which keeps the window live without slowing the transfer.
constexpr int progressEventsIntervalMs = 16;

// What to do after a transfer that stopped half-way: the bootloader has left download mode.
const QString rewriteAdvice =
    QStringLiteral("Put the meter back into bootloader mode and press Update again.");

// The log's colour for each tone of a step (Qt's named colours).
QString colourOf(UpdateStep::Tone tone)
{
    switch (tone) {
    case UpdateStep::Tone::Stage:
        return QStringLiteral("Green");
    case UpdateStep::Tone::Flashing:
        return QStringLiteral("Orange");
    case UpdateStep::Tone::Failure:
    case UpdateStep::Tone::Silent:
        break;
    }
    return QStringLiteral("Red");
}

// Characters that would break a line, reorder it or stand for an object in a text document
// rather than be shown: line and paragraph separators, bidirectional embeddings, overrides and
// isolates, the document's own frame markers and the object placeholder.
bool invisibleInLog(char32_t character)
{
    constexpr char32_t lineSeparator = 0x2028;
    constexpr char32_t paragraphSeparator = 0x2029;
    constexpr char32_t firstEmbedding = 0x202A;
    constexpr char32_t lastOverride = 0x202E;
    constexpr char32_t firstIsolate = 0x2066;
    constexpr char32_t lastIsolate = 0x2069;
    constexpr char32_t beginningOfFrame = 0xFDD0;
    constexpr char32_t endOfFrame = 0xFDD1;
    return QChar::category(character) == QChar::Other_Control || character == lineSeparator ||
           character == paragraphSeparator ||
           (character >= firstEmbedding && character <= lastOverride) ||
           (character >= firstIsolate && character <= lastIsolate) ||
           character == beginningOfFrame || character == endOfFrame ||
           character == QChar::ObjectReplacementCharacter;
}

// Text from a server or a meter as one harmless line: each character that a text document would
// act on instead of showing is written out as an escape such as \x0a or \u2028.
QString visibleText(const QString &text)
{
    constexpr char32_t lastByteEscape = 0xFF;
    QString shown;
    shown.reserve(text.size());
    for (const char32_t character : text.toUcs4()) {
        if (!invisibleInLog(character))
            shown += QString::fromUcs4(&character, 1);
        else if (character <= lastByteEscape)
            shown += QStringLiteral("\\x%1").arg(uint(character), 2, 16, QLatin1Char('0'));
        else
            shown += QStringLiteral("\\u%1").arg(uint(character), 4, 16, QLatin1Char('0'));
    }
    return shown;
}

// What tells one meter from another, as plain text: both texts come from the meter's USB
// descriptors.
QString portIdentity(const QSerialPortInfo &port)
{
    const QString serialNumber = port.serialNumber().isEmpty()
                                     ? QStringLiteral("no serial number")
                                     : QStringLiteral("Serial number ") + port.serialNumber();
    const QString description =
        port.description().isEmpty() ? QStringLiteral("no description") : port.description();
    return visibleText(serialNumber) + QLatin1Char('\n') + visibleText(description);
}

} // namespace

bool MainWindow::updateRunning = false;
QWidget *MainWindow::updateSender = nullptr;

MainWindow::MainWindow(QWidget *parent) : MainWindow(NVKCloudInterface::defaultServerUrl(), parent)
{
}

MainWindow::MainWindow(const QString &releaseServerUrl, QWidget *parent)
    : MainWindow(releaseServerUrl, ReleaseSignature::builtInKeys(), parent)
{
}

MainWindow::MainWindow(const QString &releaseServerUrl,
                       const QList<ReleaseSignature::PublicKey> &trustedKeys, QWidget *parent)
    : QMainWindow(parent), cloud(releaseServerUrl), ui(new Ui::MainWindow)
{
    cloud.setTrustedKeys(trustedKeys);
    ui->setupUi(this);
    setFixedSize(width(), height());
    // The serial waits of a run block this thread; the window must go on answering meanwhile.
    session.setWaitHook([] { QCoreApplication::processEvents(QEventLoop::AllEvents); });
    session.setReport([this](const UpdateStep &step) { showStep(step); });
    connect(&flasher, &FirmwareFlasher::progress_update, this, &MainWindow::progress_update);

    connect(&cloud, &NVKCloudInterface::versions_update, this, &MainWindow::versions_update);
    connect(&cloud, &NVKCloudInterface::no_internet_connection, this,
            &MainWindow::no_internet_connection);
    connect(&cloud, &NVKCloudInterface::catalogue_failed, this, &MainWindow::catalogueFailed);

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
    QTextCharFormat format;
    format.setForeground(colour);

    // The line goes in through a cursor of its own, as plain text in its own format: a tag or an
    // image name from the server can hold markup, and the log must show it, not obey it. The
    // user's cursor and any selection in the log (to copy it, say) stay as they are.
    QTextEdit *log = ui->statusText;
    QScrollBar *scrollBar = log->verticalScrollBar();
    const bool followingEnd = scrollBar->value() >= scrollBar->maximum();
    QTextCursor cursor(log->document());
    cursor.movePosition(QTextCursor::End);
    if (!log->document()->isEmpty())
        cursor.insertBlock(QTextBlockFormat(), format);
    cursor.insertText(visibleText(text), format);
    if (followingEnd)
        scrollBar->setValue(scrollBar->maximum());

    // The caller may be about to block the GUI thread on the serial line: paint the line now.
    log->update();
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
            showStep(UpdateStep::of(UpdateStep::Kind::StillRunning));
        }
        return;
    }
    QMainWindow::closeEvent(event);
}

void MainWindow::no_internet_connection()
{
    showCatalogueFailure(UpdateStep::catalogueTimedOut(cloud.limits().jsonTimeoutMs));
}

// A catalogue that fails at once (refused, no such host, TLS, an error status) says so as the
// time-out does, with its reason. One that came but cannot be trusted says why instead, or the
// user would take the empty list for no releases.
void MainWindow::catalogueFailed(const DownloadFailure &reason)
{
    if (reason.code == DownloadFailure::untrusted) {
        emptyListCause = QStringLiteral("the release catalogue is not trusted");
        if (!catalogueFailureShown)
            writeStatus(QStringLiteral("The release catalogue is not trusted: ") + reason.detail,
                        colourOf(UpdateStep::Tone::Failure));
        catalogueFailureShown = true;
        return;
    }
    UpdateStep step = UpdateStep::noInternet(reason.code, reason.detail);
    constexpr int notFound = 404;
    const QString branch = cloud.branch();
    if (reason.httpStatus == notFound && branch != ReleaseBranchSetting::standardBranch())
        step.reason =
            QStringLiteral("the release branch %1 was not found on the server").arg(branch);
    showCatalogueFailure(step);
}

void MainWindow::showCatalogueFailure(const UpdateStep &step)
{
    if (catalogueFailureShown)
        return;
    catalogueFailureShown = true;
    showStep(step);
}

void MainWindow::versions_update()
{
    ui->versionsCombo->clear();
    for (const QString &tagName : cloud.versions())
        ui->versionsCombo->addItem(tagName);
    if (!cloud.versions().isEmpty())
        ui->versionsCombo->setCurrentIndex(ui->versionsCombo->findText(cloud.versions().last()));
}

QStringList MainWindow::findDevicePorts(const QList<UsbIdentifier> &deviceIdentifiers)
{
    return DevicePorts::names(DevicePorts::find(deviceIdentifiers));
}

// The list shows each meter by its port name, with the USB serial number and description (which
// tell two meters apart) in the tooltip. The current meter stays current while it is attached:
// it is the one the next run writes.
void MainWindow::ports_update()
{
    QComboBox *combo = ui->serialPortCombo;
    const QString chosen = combo->currentText();
    const QList<QSerialPortInfo> ports = DevicePorts::find(deviceIdentifiers());
    combo->clear();
    for (const QSerialPortInfo &port : ports) {
        const QString identity = portIdentity(port) + lastUpdateLine(port);
        combo->addItem(port.portName());
        const int item = combo->count() - 1;
        combo->setItemData(item, Qt::convertFromPlainText(identity, Qt::WhiteSpaceNormal),
                           Qt::ToolTipRole);
        combo->setItemData(item, identity, Qt::AccessibleDescriptionRole);
    }
    const int kept = combo->findText(chosen);
    if (kept >= 0)
        combo->setCurrentIndex(kept);
    combo->update();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void MainWindow::refreshVersions()
{
    const QString branch = ReleaseBranchSetting::current();
    if (branch != ReleaseBranchSetting::standardBranch())
        showStep(UpdateStep::of(UpdateStep::Kind::BranchPath, branch));
    catalogueFailureShown = false;
    emptyListCause.clear();
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

QString MainWindow::lastUpdateLine(const QSerialPortInfo &port)
{
    const std::optional<UpdateRecord> latest = history.latest(port.serialNumber());
    return latest ? QLatin1Char('\n') + visibleText(UpdateHistory::summaryLine(*latest))
                  : QString();
}

void MainWindow::on_historyButton_clicked()
{
    // Not exec(): a local event loop entered from a serial wait's event processing would hold
    // the update under it until the dialog closed. Shown like this, a run goes on meanwhile.
    auto *dialog = new HistoryDialog(history.path(), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
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
    showStep(UpdateStep::of(UpdateStep::Kind::Connecting));

    // The meter written is the one the user has chosen, in both halves of the run. An empty list
    // may only be out of date: a meter plugged in since the last refresh is listed now.
    if (ui->serialPortCombo->currentIndex() < 0)
        ports_update();
    runPort = ui->serialPortCombo->currentText();

    const std::optional<QString> hardwareId = session.connect(runPort);
    if (!hardwareId) {
        endRun();
        return;
    }

    const QString version = ui->versionsCombo->currentText();
    listenForDownload(true);
    cloud.requestFirmware(version, *hardwareId);
    if (cloud.downloads().isEmpty()) {
        listenForDownload(false);
        // With nothing listed there was no version to choose: the server was never reached.
        showStep(cloud.versions().isEmpty() ? UpdateStep::emptyReleaseList(emptyListCause)
                                            : UpdateStep::noFirmware(version, *hardwareId));
        endRun();
    }
}

// The finish half: the images are in, and the session writes them to the run's meter, which
// must still be attached.
void MainWindow::firmwareDownloadFinished()
{
    listenForDownload(false);
    QList<MeterImage> images;
    for (const FirmwareFile &file : cloud.downloads())
        images.append({file.name, file.image});
    // The version shown now, which may differ from the one whose files were downloaded.
    session.install(runPort, ui->versionsCombo->currentText(), images);
    endRun();
}

void MainWindow::firmwareDownloadFailed(const QString &fileName, const DownloadFailure &reason)
{
    listenForDownload(false);
    if (reason.code == DownloadFailure::checksumMissing)
        showStep(UpdateStep::downloadRefused(reason.code, reason.detail));
    else
        showStep(UpdateStep::downloadFailed(fileName, reason.code, reason.detail));
    endRun();
}

void MainWindow::showStep(const UpdateStep &step)
{
    const QString text = step.text();
    if (text.isEmpty())
        return;
    const QString colour = colourOf(step.tone());
    writeStatus(text, colour);
    // A transfer that stopped half-way left the meter out of download mode: say how to go on.
    if (step.kind == UpdateStep::Kind::Failed && !step.reason.isEmpty())
        writeStatus(step.reason + QStringLiteral(". ") + rewriteAdvice, colour);
    else if (!step.reason.isEmpty())
        writeStatus(step.reason, colour);
    if (!step.hint.isEmpty())
        writeStatus(step.hint, colour);
    if (step.kind == UpdateStep::Kind::FlashingFirmware) {
        ui->progressBar->setValue(0);
        ui->progressBar->update();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
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
