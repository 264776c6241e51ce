// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "seriallink.h"

SerialLink::SerialLink() = default;

bool SerialLink::acquire(int, const QString &) { return false; }
void SerialLink::release() {}
void SerialLink::drainInput() {}
QString SerialLink::readReply(int) { return {}; }
QString SerialLink::sendCommand(const QString &, int, int) { return {}; }
bool SerialLink::sendBytes(const QByteArray &) { return false; }
