// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QFile>
#include <QTemporaryDir>

// Gives this process a settings store of its own, removed at exit, so the user's settings are
// never touched and test programs running side by side (in one run or in two clones) never see
// each other's release branch. Qt's test mode would share one store among all of them.
// QSettings fixes its location at its first use: call this before any.
inline void usePrivateSettings()
{
    static QTemporaryDir store;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(store.path()));
}
