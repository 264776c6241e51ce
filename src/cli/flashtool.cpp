// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "flashtool.h"

#include "deviceports.h"
#include "firmwareflasher.h"
#include "releasebranchsetting.h"
#include "reporter.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>

namespace {

const QString noMeterFound =
    QStringLiteral("Failed to find Power Meter device, please restart, reconnect, and retry");
// The catalogue's own spelling of a set flag; "True", " true" or a JSON boolean are not set.
const QString flagSet = QStringLiteral("true");
// Catalogue members naming firmware files end in this, whatever meter model they are for.
const QString firmwareKeySuffix = QStringLiteral("firmware");
// The window never flashes less than this; neither does the terminal.
constexpr qsizetype smallestImageBytes = 4096;
constexpr char firstPrintable = ' ';
constexpr char lastPrintable = '~';

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QString usbIds(const QSerialPortInfo &port)
{
    return QStringLiteral("%1:%2")
        .arg(port.vendorIdentifier(), 4, 16, QLatin1Char('0'))
        .arg(port.productIdentifier(), 4, 16, QLatin1Char('0'));
}

// Why NAME cannot travel in the header block with an image of imageSize bytes; empty when it can.
// The meter gets one byte per character, and an empty name would read as the end of the batch.
QString nameProblem(const QString &name, qint64 imageSize)
{
    if (name.isEmpty())
        return QStringLiteral("the name sent to the meter would be empty (give one with --name)");
    for (const QChar character : name) {
        if (character.unicode() < firstPrintable || character.unicode() > lastPrintable)
            return QStringLiteral("the name '%1' sent to the meter must be printable ASCII "
                                  "(give one with --name)")
                .arg(name);
    }
    if (!FirmwareFlasher::headerFits(name, imageSize))
        return QStringLiteral("the name '%1' is too long for the header block: at most %2 "
                              "characters with an image of %3 bytes")
            .arg(name)
            .arg(126 - QString::number(imageSize).size())
            .arg(imageSize);
    return QString();
}

} // namespace

FlashTool::FlashTool(const Invocation &invocationToRun, Reporter &output)
    : invocation(invocationToRun), reporter(output), cloud(invocationToRun.serverUrl)
{
}

ExitCode FlashTool::run()
{
    switch (invocation.command) {
    case Invocation::Command::List:
        return list();
    case Invocation::Command::Versions:
        return versions();
    case Invocation::Command::Update:
        return update();
    case Invocation::Command::Flash:
        return flash();
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
                                      {"serialNumber", textOrNull(port.serialNumber())},
                                      {"description", textOrNull(port.description())}});
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
    if (!loadCatalogue(false))
        return ExitCode::Catalogue;
    if (!reporter.json()) {
        for (const QString &tag : std::as_const(cloud.versionList))
            reporter.print(tag);
        return ExitCode::Success;
    }
    QJsonArray list;
    for (const QString &tag : std::as_const(cloud.versionList)) {
        const QMap<QString, QString> fields = cloud.versionTable.value(tag);
        QJsonObject firmware;
        for (auto it = fields.constBegin(); it != fields.constEnd(); ++it) {
            if (it.key().endsWith(firmwareKeySuffix))
                firmware.insert(it.key(), it.value());
        }
        list.append(
            QJsonObject{{"tag", tag},
                        {"prerelease", fields.value(QStringLiteral("prerelease")) == flagSet},
                        {"beta", fields.value(QStringLiteral("isbeta")) == flagSet},
                        {"firmware", firmware}});
    }
    reporter.print(QJsonDocument(list));
    return ExitCode::Success;
}

ExitCode FlashTool::update()
{
    const QString chosenBranch = branch();
    if (chosenBranch != ReleaseBranchSetting::standardBranch())
        reporter.status(QStringLiteral("Branch Path: ") + chosenBranch, QStringLiteral("Green"));
    if (!loadCatalogue(true))
        return ExitCode::Catalogue;
    const std::optional<QString> version = chooseVersion();
    if (!version)
        return ExitCode::Catalogue;
    reporter.error(QStringLiteral("updating the meter is not built yet"));
    return ExitCode::Flashing;
}

ExitCode FlashTool::flash()
{
    const std::optional<QByteArray> image = readImage();
    if (!image)
        return ExitCode::Usage;
    reporter.error(QStringLiteral("flashing the meter is not built yet"));
    return ExitCode::Flashing;
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
    QString failure;
    QObject::connect(&cloud, &NVKCloudInterface::catalogue_received, &loop, &QEventLoop::quit);
    QObject::connect(&cloud, &NVKCloudInterface::catalogue_failed, &loop,
                     [&](const QString &reason) {
                         failure = reason;
                         loop.quit();
                     });
    // The window waits on for a late answer; a script must not, and gets the window's line.
    QObject::connect(&cloud, &NVKCloudInterface::no_internet_connection, &loop, [&] {
        if (asStatus)
            reporter.status(QStringLiteral("No Internet Connection"), QStringLiteral("Red"));
        failure = QStringLiteral("no answer within %1 s").arg(cloud.jsonTimeoutMs / 1000);
        loop.quit();
    });
    const QString chosenBranch = branch();
    cloud.requestVersions(chosenBranch, invocation.betas);
    loop.exec();
    if (failure.isEmpty())
        return true;
    reporter.error(QStringLiteral("release catalogue unavailable at %1/%2/lumetrarelease/: %3")
                       .arg(cloud.serverUrl, chosenBranch, failure));
    return false;
}

std::optional<QString> FlashTool::chooseVersion()
{
    const QList<QString> &versions = cloud.versionList;
    if (!invocation.version) {
        if (versions.isEmpty()) {
            reporter.error(QStringLiteral("the catalogue of branch %1 lists no version")
                               .arg(cloud.releaseBranch));
            return std::nullopt;
        }
        return versions.last(); // the newest, which the window preselects
    }
    if (versions.contains(*invocation.version))
        return *invocation.version;
    reporter.error(QStringLiteral("version '%1' is not in the catalogue of branch %2%3")
                       .arg(*invocation.version, cloud.releaseBranch,
                            invocation.betas ? QString()
                                             : QStringLiteral(" (pre-releases and betas are "
                                                              "listed with --betas)")));
    return std::nullopt;
}

std::optional<QString> FlashTool::choosePort()
{
    const QList<QSerialPortInfo> ports = DevicePorts::find(DevicePorts::deviceIdentifiers());
    if (!invocation.port.isEmpty()) {
        // Only a port that carries the meter's ids is ever written to, whatever was typed.
        for (const QSerialPortInfo &port : ports) {
            if (port.portName() == invocation.port || port.systemLocation() == invocation.port)
                return port.portName();
        }
        reporter.error(
            QStringLiteral("no meter in bootloader mode on port %1").arg(invocation.port));
        return std::nullopt;
    }
    if (ports.isEmpty()) {
        reporter.status(noMeterFound, QStringLiteral("Red"));
        reporter.error(QStringLiteral("no meter in bootloader mode found"));
        return std::nullopt;
    }
    if (ports.size() > 1) {
        reporter.note(QStringLiteral("using the meter on %1; also attached: %2 (pick one with "
                                     "--port)")
                          .arg(ports.first().portName(),
                               DevicePorts::names(ports.mid(1)).join(QStringLiteral(", "))));
    }
    return ports.first().portName();
}

std::optional<QByteArray> FlashTool::readImage()
{
    const QString &path = invocation.file;
    const auto refuse = [&](const QString &why) {
        reporter.error(QStringLiteral("cannot flash %1: %2").arg(path, why));
        return std::optional<QByteArray>();
    };
    const QFileInfo info(path);
    if (!info.exists())
        return refuse(QStringLiteral("no such file"));
    if (info.isDir())
        return refuse(QStringLiteral("it is a directory"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(file.errorString());
    const QByteArray image = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return refuse(file.errorString());
    if (image.isEmpty())
        return refuse(QStringLiteral("the file is empty"));
    if (image.size() < smallestImageBytes)
        return refuse(QStringLiteral("%1 bytes is less than the %2 of the smallest firmware image")
                          .arg(image.size())
                          .arg(smallestImageBytes));
    const QString problem = nameProblem(invocation.name, image.size());
    if (!problem.isEmpty())
        return refuse(problem);
    return image;
}
