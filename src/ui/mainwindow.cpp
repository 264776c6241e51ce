// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "mainwindow.h"

#include "historydialog.h"
#include "reason.h"
#include "releasebranchdialog.h"
#include "releasebranchsetting.h"
#include "ui_mainwindow.h"
#include "ui_releasebranchdialog.h"

#include <QCloseEvent>
#include <QColor>
#include <QCoreApplication>
#include <QFileDialog>
#include <QProgressBar>
#include <QScrollBar>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

namespace {
constexpr int portRefreshIntervalMs = 5000;

// A progress report comes with every 128-byte block; events between them are processed at about
// the screen's frame rate, which keeps the window live without slowing the transfer.
constexpr int progressEventsIntervalMs = 16;

// Item data of a Port list entry: the port name (empty while the meter is not attached, so a
// run never writes another meter in its place) and the meter's USB serial number.
constexpr int portNameRole = Qt::UserRole;
constexpr int serialNumberRole = Qt::UserRole + 1;
// The port an entry's meter was last seen on.
constexpr int lastPortRole = Qt::UserRole + 2;

// A USB serial number is the meter's own text: this much of it names a meter.
constexpr int serialNumberChars = 32;

// The log's shades of the named colours: on a light log darker than Qt's colours of those names,
// on a dark log lighter, each keeping its hue and reaching WCAG AA (4.5:1) against white or black
// and the greys near them.
struct LogShade
{
    const char *name;
    QRgb onLight;
    QRgb onDark;
};
constexpr LogShade logShades[] = {
    {"Black", 0x000000, 0xe0e0e0},
    {"Green", 0x007a00, 0x4cc24c},
    {"Orange", 0x8a5a00, 0xffa500},
    {"Red", 0xc80000, 0xff7070},
};

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

QString serialNumberOf(const QSerialPortInfo &port)
{
    return UpdateStep::replyExcerpt(port.serialNumber().left(serialNumberChars + 1));
}

// A meter as its entry in the Port list and the log lines name it: the port, and the serial
// number that tells it from another meter.
QString entryText(const QString &portName, const QString &serialNumber)
{
    return serialNumber.isEmpty() ? portName
                                  : QStringLiteral("%1  serial %2").arg(portName, serialNumber);
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
    : QMainWindow(parent), cloud(releaseServerUrl, ReleaseTrust(trustedKeys)),
      ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    setFixedSize(width(), height());
    // The serial waits of a run block this thread; the window must go on answering meanwhile.
    session.setWaitHook([] { QCoreApplication::processEvents(QEventLoop::AllEvents); });
    connect(&run, &UpdateRun::reported, this, &MainWindow::showStep);
    connect(&run, &UpdateRun::finished, this, &MainWindow::endRun);
    run.keepHistory(&history, UpdateRecord::Program::Window);
    // A record that cannot be kept is said once, and changes nothing of the update.
    connect(&run, &UpdateRun::historyNote, this,
            [this](const QString &line) { writeStatus(line, QStringLiteral("Black")); });
    connect(&flasher, &FirmwareFlasher::progress_update, this, &MainWindow::progress_update);

    connect(&cloud, &NVKCloudInterface::versions_update, this, &MainWindow::versions_update);
    connect(&cloud, &NVKCloudInterface::no_internet_connection, this,
            &MainWindow::no_internet_connection);
    // Every catalogue request ends in the words the run gives every front end: a failure says
    // why (a catalogue that came but cannot be trusted says so, or the user would take the empty
    // list for no releases), and the window asks again by itself until a list comes.
    connect(&run, &UpdateRun::catalogueEnded, this, [this](const UpdateStep &outcome) {
        if (outcome.isFailure())
            showCatalogueFailure(outcome);
        else
            catalogueReceived();
    });
    catalogueRetryTimer.setSingleShot(true);
    catalogueRetryTimer.setInterval(catalogueRetryIntervalMs);
    connect(&catalogueRetryTimer, &QTimer::timeout, this, &MainWindow::requestVersionsAgain);

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

QColor MainWindow::logShade(const QString &colourName, const QColor &background)
{
    constexpr float darkBelow = 0.5F;
    const bool dark = background.lightnessF() < darkBelow;
    for (const LogShade &shade : logShades) {
        if (colourName.compare(QLatin1String(shade.name), Qt::CaseInsensitive) == 0)
            return QColor::fromRgb(dark ? shade.onDark : shade.onLight);
    }
    QColor colour;
    colour.setNamedColor(colourName);
    return colour;
}

void MainWindow::writeStatus(const QString &text, const QString &colourName)
{
    QTextEdit *log = ui->statusText;
    QTextCharFormat format;
    format.setForeground(logShade(colourName, log->palette().color(QPalette::Base)));

    // The line goes in through a cursor of its own, as plain text in its own format: a tag or an
    // image name from the server can hold markup, and the log must show it, not obey it. The
    // user's cursor and any selection in the log (to copy it, say) stay as they are.
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

void MainWindow::showCatalogueFailure(const UpdateStep &step)
{
    // The server may be back soon: the window asks again by itself, at a pace that spares it. A
    // list that came untrusted, or a branch that breaks the rule, would only come the same way.
    if (step.kind == UpdateStep::Kind::NoInternet && !catalogueRetryTimer.isActive())
        catalogueRetryTimer.start();
    if (catalogueFailureShown)
        return;
    catalogueFailureShown = true;
    showStep(step);
}

void MainWindow::requestVersionsAgain()
{
    // A release folder in use stands in for the server until the list is asked for again.
    if (run.releaseFolder())
        return;
    // Asking now would refill the version list under a run that reads it at its end.
    if (runInProgress) {
        catalogueRetryTimer.start();
        return;
    }
    // No branch line and no new failure line: those were said when the list was first asked for.
    cloud.requestVersions(cloud.branch(), ui->showBetaCheckBox->isChecked());
}

void MainWindow::catalogueReceived()
{
    const qsizetype count = cloud.versions().size();
    if (count == 0)
        return;
    catalogueRetryTimer.stop();
    if (catalogueFailureShown)
        writeLine(UpdateStep::releaseListReceived(count));
    catalogueFailureShown = false;
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

// The list shows each meter by its port name and USB serial number, with the description in the
// tooltip. The list never changes the user's choice by itself: the chosen meter stays current
// while it is attached, follows its serial number to another port, and when it goes away its
// entry stays, marked as not attached, rather than another meter taking its place. Only a meter
// without a serial number that was alone in the list leaves no entry: it cannot be told from
// the next meter plugged in, and one meter at a desk is simply the one listed.
void MainWindow::ports_update()
{
    QComboBox *combo = ui->serialPortCombo;
    const int current = combo->currentIndex();
    const QString chosenPort =
        current >= 0 ? combo->itemData(current, portNameRole).toString() : QString();
    const QString chosenSerial =
        current >= 0 ? combo->itemData(current, serialNumberRole).toString() : QString();
    const QString chosenText = current >= 0 ? combo->itemText(current) : QString();
    const QString lastPort =
        current >= 0 ? combo->itemData(current, lastPortRole).toString() : QString();
    const bool othersListed = combo->count() > 1;

    const QList<QSerialPortInfo> ports = DevicePorts::find(deviceIdentifiers());
    combo->clear();
    int follows = -1;
    for (const QSerialPortInfo &port : ports) {
        const QString serialNumber = serialNumberOf(port);
        const QString identity = portIdentity(port) + lastUpdateLine(port);
        combo->addItem(visibleText(entryText(port.portName(), serialNumber)));
        const int item = combo->count() - 1;
        combo->setItemData(item, port.portName(), portNameRole);
        combo->setItemData(item, port.portName(), lastPortRole);
        combo->setItemData(item, serialNumber, serialNumberRole);
        combo->setItemData(item, Qt::convertFromPlainText(identity, Qt::WhiteSpaceNormal),
                           Qt::ToolTipRole);
        combo->setItemData(item, identity, Qt::AccessibleDescriptionRole);
        const bool same = chosenSerial.isEmpty()
                              ? !chosenPort.isEmpty() && port.portName() == chosenPort
                              : serialNumber == chosenSerial;
        // Two meters with one serial number: the one still on the chosen port.
        if (same && (follows < 0 || port.portName() == chosenPort))
            follows = item;
    }

    if (follows >= 0) {
        combo->setCurrentIndex(follows);
    } else if (current >= 0 && (!chosenSerial.isEmpty() || othersListed || combo->count() > 0)) {
        // Kept, without a port: a run from it finds no meter and writes none.
        const QString name = chosenSerial.isEmpty() ? chosenPort : chosenSerial;
        const QString gone =
            chosenPort.isEmpty()
                ? chosenText
                : visibleText(
                      QStringLiteral("%1  (not attached, last on %2)").arg(name, chosenPort));
        combo->addItem(gone);
        const int item = combo->count() - 1;
        combo->setItemData(item, QString(), portNameRole);
        combo->setItemData(item, lastPort, lastPortRole);
        combo->setItemData(item, chosenSerial, serialNumberRole);
        combo->setItemData(item, QStringLiteral("not attached"), Qt::AccessibleDescriptionRole);
        combo->setCurrentIndex(item);
    }
    combo->update();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

QString MainWindow::chosenMeterPort()
{
    // An empty list may only be out of date: a meter plugged in since the last refresh is listed
    // now.
    if (ui->serialPortCombo->currentIndex() < 0)
        ports_update();
    const QComboBox *combo = ui->serialPortCombo;
    const int current = combo->currentIndex();
    if (current < 0) {
        runSerialNumber.clear();
        runMeter.clear();
        return QString();
    }
    const QString port = combo->itemData(current, portNameRole).toString();
    runSerialNumber = combo->itemData(current, serialNumberRole).toString();
    const QString seenOn = combo->itemData(current, lastPortRole).toString();
    // As a sentence names it: "the meter LM0121 on ttyACM1 is not attached".
    if (port.isEmpty())
        runMeter = runSerialNumber.isEmpty()
                       ? QStringLiteral("last seen on %1").arg(seenOn)
                       : QStringLiteral("%1, last seen on %2,").arg(runSerialNumber, seenOn);
    else
        runMeter = runSerialNumber.isEmpty()
                       ? QStringLiteral("on %1").arg(port)
                       : QStringLiteral("%1 on %2").arg(runSerialNumber, port);
    return port;
}

QString MainWindow::runMeterPort() const
{
    for (const QSerialPortInfo &port : DevicePorts::find(deviceIdentifiers())) {
        if (port.portName() == runPort)
            return serialNumberOf(port) == runSerialNumber ? runPort : QString();
    }
    return QString();
}

void MainWindow::refreshVersions()
{
    const QString branch = ReleaseBranchSetting::current();
    if (branch != ReleaseBranchSetting::standardBranch())
        showStep(UpdateStep::of(UpdateStep::Kind::BranchPath, branch));
    catalogueFailureShown = false;
    catalogueRetryTimer.stop();
    // Asked for again, the list comes from the server, not from a release folder opened before.
    run.useServer();
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

// What the history says of the meter's last update ("LM0121: 1.2.0 on 2026-12-07, complete"),
// for the line and the tooltip that name it: on a bench the user sees at once whether this meter
// is the one that failed last time. Empty for a meter without a serial number or a record.
QString MainWindow::lastUpdateOf(const QString &serialNumber)
{
    if (serialNumber.isEmpty())
        return QString();
    const std::optional<UpdateRecord> latest = history.latest(serialNumber);
    return latest ? UpdateHistory::summaryLine(*latest) : QString();
}

QString MainWindow::lastUpdateLine(const QSerialPortInfo &port)
{
    const QString last = lastUpdateOf(port.serialNumber());
    return last.isEmpty() ? last : QLatin1Char('\n') + visibleText(last);
}

void MainWindow::on_releaseFolderButton_clicked()
{
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Release folder"));
    if (!folder.isEmpty())
        useReleaseFolder(folder);
}

// Where the release server cannot be reached, a release saved to a folder (lumetra-flash
// download) updates the meter as the server would, with the same checks.
void MainWindow::useReleaseFolder(const QString &folder)
{
    const DownloadFailure failure = run.useReleaseFolder(folder);
    if (failure.isFailure()) {
        showStep(UpdateStep::folderRefused(folder, failure.code, failure.detail));
        return;
    }
    // The server's list no longer counts, nor does asking it again.
    catalogueRetryTimer.stop();
    showStep(UpdateStep::of(
        UpdateStep::Kind::ReleaseFolder,
        QStringLiteral("%1, version %2").arg(folder, run.releaseFolder()->version())));
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

// The click starts a run, which goes on as the download's answers arrive and ends in endRun().
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
    showRunStarted();
    run.start([this](UpdateRun::Moment moment) { return chooseMeter(moment); },
              ui->versionsCombo->currentText());
}

UpdateRun::MeterChoice MainWindow::chooseMeter(UpdateRun::Moment moment)
{
    // The meter written is the one the user has chosen, in both halves of the run.
    if (moment == UpdateRun::Moment::AtStart) {
        runPort = chosenMeterPort();
        // Which of the meters on the desk this run is about, before anything happens to it.
        if (!runPort.isEmpty())
            writeLine(UpdateStep::meterChosen(runMeter, lastUpdateOf(runSerialNumber)));
    }
    const QString port = moment == UpdateRun::Moment::AtStart ? runPort : runMeterPort();
    return {port, UpdateStep::chosenMeterGone(runMeter)};
}

void MainWindow::writeLine(const UpdateStep &step)
{
    writeStatus(step.text(), colourOf(step.tone()));
}

void MainWindow::showStep(const UpdateStep &given)
{
    // The session knows the port; the window knows the meter the user chose, by its serial
    // number too.
    const UpdateStep step = given.kind == UpdateStep::Kind::NoMeter && !runMeter.isEmpty()
                                ? UpdateStep::chosenMeterGone(runMeter)
                                : given;
    const QString text = step.text();
    if (text.isEmpty())
        return;
    const QString colour = colourOf(step.tone());
    writeStatus(text, colour);
    if (!step.reason.isEmpty())
        writeStatus(step.reason, colour);
    // What to do now, and whether the meter was touched.
    const QString next = step.nextStep(UpdateStep::Frontend::Window);
    if (!next.isEmpty())
        writeStatus(next, colour);
    if (runInProgress && step.tone() == UpdateStep::Tone::Failure)
        showRunFailed();
    if (step.kind == UpdateStep::Kind::FlashingFirmware) {
        ui->progressBar->setValue(0);
        ui->progressBar->update();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

// The run's last line says which meter has which version now, or which one was not updated: on a
// bench of several meters the user must know which one to see to.
void MainWindow::showRunEnd(const UpdateStep &outcome)
{
    if (!runMeter.isEmpty())
        writeLine(UpdateStep::meterOutcome(runMeter, run.version(), !outcome.isFailure()));
}

void MainWindow::showRunStarted()
{
    QProgressBar *bar = ui->progressBar;
    bar->setPalette(QPalette());
    bar->setTextVisible(false);
    bar->setValue(0);
    bar->setAccessibleDescription(QString());
    bar->update();
}

// A bar left part-filled reads as a run still going: a failed run fills it in the log's red and
// says so on it.
void MainWindow::showRunFailed()
{
    QProgressBar *bar = ui->progressBar;
    QPalette failed = bar->palette();
    const QColor red = logShade(colourOf(UpdateStep::Tone::Failure), failed.color(QPalette::Base));
    failed.setColor(QPalette::Highlight, red);
    failed.setColor(QPalette::HighlightedText, QColor(Qt::white));
    bar->setPalette(failed);
    bar->setFormat(QStringLiteral("Update failed"));
    bar->setTextVisible(true);
    bar->setValue(bar->maximum());
    bar->setAccessibleDescription(QStringLiteral("Update failed"));
    bar->update();
}

// Every run ends here, once the run has let go of the meter: the controls come back, and the
// next run opens the port afresh.
void MainWindow::endRun(const UpdateStep &outcome)
{
    showRunEnd(outcome);
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
                                    ui->serialPortCombo, ui->releaseFolderButton};
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
