// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "mainwindow.h"

#include "releasebranchdialog.h"
#include "ui_mainwindow.h"
#include "ui_releasebranchdialog.h"

#include <QColor>
#include <QCoreApplication>
#include <QSerialPortInfo>
#include <QSettings>

namespace {
constexpr int portRefreshIntervalMs = 5000;
constexpr quint16 deviceVendorId = 0x04D8;
constexpr quint16 deviceProductId = 0x000A;

const QString settingsOrganisation = QStringLiteral("Norvatek");
const QString settingsApplication = QStringLiteral("Divirare2");
const QString releaseBranchKey = QStringLiteral("ReleaseBranch");
const QString standardBranch = QStringLiteral("cust");
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
    delete ui;
}

void MainWindow::writeStatus(const QString &text, const QString &colourName)
{
    QColor colour;
    colour.setNamedColor(colourName);
    ui->statusText->setTextColor(colour);
    ui->statusText->append(text);
    // The caller may be about to block the GUI thread on the serial line: paint the line now.
    ui->statusText->update();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void MainWindow::progress_update(int percentComplete)
{
    ui->progressBar->setValue(percentComplete);
    ui->progressBar->update();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
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

QList<UsbIdentifier> MainWindow::deviceIdentifiers()
{
    return {{deviceVendorId, deviceProductId}};
}

QStringList MainWindow::findDevicePorts(const QList<UsbIdentifier> &deviceIdentifiers)
{
    QStringList names;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports) {
        for (const UsbIdentifier &id : deviceIdentifiers) {
            if (port.vendorIdentifier() == id.first && port.productIdentifier() == id.second)
                names.append(port.portName());
        }
    }
    return names;
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
    QSettings settings(settingsOrganisation, settingsApplication);
    QString branch = settings.value(releaseBranchKey, standardBranch).toString();
    if (branch.isEmpty())
        branch = standardBranch;
    if (branch != standardBranch)
        writeStatus(QStringLiteral("Branch Path: ") + branch, QStringLiteral("Green"));
    cloud.requestVersions(branch, ui->showBetaCheckBox->isChecked());
}

void MainWindow::on_branchButton_clicked()
{
    QSettings settings(settingsOrganisation, settingsApplication);
    releaseBranchDialog dialog;
    dialog.setModal(true);
    dialog.ui->branchNameTextBox->setText(settings.value(releaseBranchKey, QString()).toString());
    if (dialog.exec() != QDialog::Accepted)
        return;
    settings.setValue(releaseBranchKey, dialog.ui->branchNameTextBox->text());
    refreshVersions();
}

void MainWindow::on_showBetaCheckBox_stateChanged(int)
{
    refreshVersions();
}

void MainWindow::on_updateButton_clicked() {}

void MainWindow::firmwareDownloadFinished() {}

SerialLink *MainWindow::openDevicePort()
{
    return nullptr;
}

void MainWindow::updateFirmware(const QString &) {}

void MainWindow::closePort() {}
