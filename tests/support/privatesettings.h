// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QFile>
#include <QTemporaryDir>

// Gives this process a settings store and a data folder of its own, removed at exit, so the
// user's settings and update history are never touched and test programs running side by side
// (in one run or in two clones) never see each other's release branch or records. Qt's test mode
// would share one store among all of them. QSettings fixes its location at its first use: call
// this before any. Child processes inherit both.
inline void usePrivateSettings()
{
    static QTemporaryDir store;
    static QTemporaryDir data;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(store.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(data.path()));
    qunsetenv("LUMETRA_HISTORY");
}
