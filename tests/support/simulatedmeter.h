// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "powermetersimulator.h"
#include "usbtestbed.h"

#include <memory>

// A simulated meter plugged in on a new USB tty of the testbed, already answering as options
// say; null when the testbed could not add the tty.
inline std::unique_ptr<PowerMeterSimulator>
plugInMeter(UsbTestbed &testbed, const QString &tty, const QString &serialNumber = QString(),
            const PowerMeterOptions &options = {},
            PowerMeterSimulator::Ownership ownership = PowerMeterSimulator::Ownership::Borrowed)
{
    if (!testbed.addMeter(tty, serialNumber))
        return nullptr;
    auto meter = std::make_unique<PowerMeterSimulator>(testbed.masterFd(tty), options, ownership);
    meter->start();
    return meter;
}
