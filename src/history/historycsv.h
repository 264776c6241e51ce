// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "updaterecord.h"

#include <QString>

// The update history as CSV (RFC 4180: every field quoted, lines ending in CRLF), for
// lumetra-flash history --csv and the window's Export CSV. Serial numbers, versions and image
// names come from meters and release servers: a field that a spreadsheet would run as a formula
// (starting with =, +, -, @, a tab or a carriage return) is given a leading apostrophe, which
// spreadsheets show as text.
class HistoryCsv
{
public:
    static QString header();
    static QString row(const UpdateRecord &record);
    // One field, quoted and defused.
    static QString field(const QString &text);
};
