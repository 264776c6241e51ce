// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// meterclient: the smallest program that updates the meter the way the updater does (find the
// port by its USB ids, product query, one image, "R"). The command-line simulator test runs it
// as the child of `lumetra-powermeter-sim --usb`.
//
//   meterclient <image file> <name>
// Exit status: 0 flashed, 2 no meter port, 3 flashing failed, 4 not a compatible meter, 5 bad file.
#include "firmwareflasher.h"
#include "seriallink.h"

#include <QCoreApplication>
#include <QFile>
#include <QSerialPortInfo>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QFile file(app.arguments().value(1));
    if (app.arguments().size() != 3 || !file.open(QIODevice::ReadOnly))
        return 5;
    QString portName;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        if (info.vendorIdentifier() == 0x04d8 && info.productIdentifier() == 0x000a)
            portName = info.portName();
    }
    SerialLink link;
    if (portName.isEmpty() || !link.acquire(6000, portName))
        return 2;
    FirmwareFlasher flasher;
    flasher.attachLink(&link);
    flasher.replyLineTimeoutMs = 20; // the simulated meter announces nothing before "D"
    if (!link.sendCommand(QStringLiteral("P"), flasher.queryTimeoutMs, 1).contains("DOVUr3"))
        return 4;
    const bool flashed = flasher.flashImage(file.readAll(), app.arguments().at(2));
    link.sendBytes("R");
    return flashed ? 0 : 3;
}
