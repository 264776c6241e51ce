// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

// The program's exit statuses, one per kind of failure so a script can tell what to do next
// (attach a meter, pick another version, retry the download...). 0 only for full success.
enum class ExitCode : int {
    Success = 0,
    Usage = 2,         // bad command line, or a FILE that may not be flashed
    NoMeter = 3,       // no meter in bootloader mode, or its port would not open
    NotCompatible = 4, // the meter did not identify as a compatible product
    Catalogue = 5,     // catalogue unavailable or untrusted, unknown version, no firmware for
                       // this meter, an image name that cannot be sent to the meter, or a
                       // signed version with an unchecked image
    Download = 6,      // a firmware download failed
    Flashing = 7,      // writing an image failed
    CannotWrite = 8    // the release folder could not be written: disk full, read-only, no
                       // permission; nothing of it is left behind
};
