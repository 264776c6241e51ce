// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include <QLatin1String>
#include <QList>
#include <QStringView>

#include <optional>

// Why an update, or one of its steps, did not succeed: the one vocabulary of failure that every
// part of the program speaks, from the serial link to the release server. The code is the
// stable string form that scripts read in lumetra-flash's JSON, that the manual lists and that
// the window shows nowhere but keeps in its steps; once published a code never changes.
//
// New reasons go at the end of their group, with their code in reasonCode() below: that is the
// only place a code is spelled.
enum class Reason {
    None,
    // The release server's answers (a catalogue, its signature or an image)
    ChecksumMismatch,     // the bytes differ from the SHA-256 the catalogue publishes
    HttpStatus,           // any status but 200 or 203
    TooLarge,             // past the size limit for its kind of answer
    Timeout,              // no data for too long, or not complete in time
    Connection,           // refused, closed early, no such host, any other network failure
    Tls,                  // the TLS handshake failed, or a redirect from https down to http
    Empty,                // a success status with no body
    TooSmall,             // a body too small to be a firmware image
    NotCatalogue,         // a catalogue answer that is not a JSON array of product objects
    Untrusted,            // the catalogue's signature is missing or does not verify
    ChecksumMissing,      // a signed catalogue publishes no SHA-256 for an image of the version
    CatalogueRollback,    // signed before the newest catalogue accepted for its server and branch
    CatalogueWrongBranch, // signed for another branch than the one asked for
    CatalogueExpired,     // its signature's expiry time has passed
    CatalogueUnbound,     // its signed comment lacks the time or the branch it was signed for
    BadBranch,            // a release branch name that cannot name a branch on the server
    // A release saved to a folder
    NotBundle,   // not a release folder, or its parts do not belong together
    MissingFile, // a file it lists is not there
    AlteredFile, // its catalogue or signature differs from the one it was written with
    CannotWrite, // it cannot be written: the disk is full, read-only or not writable for this user
    // The release as listed
    NoVersions, // the release list is empty, so there was no version to choose
    NoFirmware, // the version lists no image for this meter
    BadName,    // an image name that cannot travel in the header block
    // The meter and its port
    NoMeter,        // the chosen meter is not attached
    PortFailed,     // the port would not open or be written, for another reason
    PortPermission, // this user may not open the port
    PortBusy,       // another program holds the port
    PortMissing,    // the port's device file is gone
    NotCompatible,  // the meter did not identify as a compatible product
    MeterUnplugged, // it went away mid-transfer
    MeterSilent,    // it stopped answering
    MeterNak,       // it refused a packet at every resend
    MeterNotReady,  // it acknowledged the header block but never asked for the data
    MeterCancelled, // it cancelled the transfer
    MeterTooSlow,   // an image was still not written when its whole-transfer bound ran out
    // What lumetra-flash says when nothing more precise is known: what its exit status stands for
    Usage,
    Catalogue,
    Download,
    FlashingFailed,
    WorkerFailed, // a worker of update --all ended without a result
};

// The stable string form of a reason; empty for Reason::None.
constexpr QLatin1String reasonCode(Reason reason)
{
    switch (reason) {
    case Reason::None:
        return QLatin1String();
    case Reason::ChecksumMismatch:
        return QLatin1String("checksum-mismatch");
    case Reason::HttpStatus:
        return QLatin1String("http-status");
    case Reason::TooLarge:
        return QLatin1String("too-large");
    case Reason::Timeout:
        return QLatin1String("timeout");
    case Reason::Connection:
        return QLatin1String("connection");
    case Reason::Tls:
        return QLatin1String("tls");
    case Reason::Empty:
        return QLatin1String("empty");
    case Reason::TooSmall:
        return QLatin1String("too-small");
    case Reason::NotCatalogue:
        return QLatin1String("not-catalogue");
    case Reason::Untrusted:
        return QLatin1String("untrusted");
    case Reason::ChecksumMissing:
        return QLatin1String("checksum-missing");
    case Reason::CatalogueRollback:
        return QLatin1String("catalogue-rollback");
    case Reason::CatalogueWrongBranch:
        return QLatin1String("catalogue-wrong-branch");
    case Reason::CatalogueExpired:
        return QLatin1String("catalogue-expired");
    case Reason::CatalogueUnbound:
        return QLatin1String("catalogue-unbound");
    case Reason::BadBranch:
        return QLatin1String("bad-branch");
    case Reason::NotBundle:
        return QLatin1String("not-bundle");
    case Reason::MissingFile:
        return QLatin1String("missing-file");
    case Reason::AlteredFile:
        return QLatin1String("altered-file");
    case Reason::CannotWrite:
        return QLatin1String("cannot-write");
    case Reason::NoVersions:
        return QLatin1String("no-versions");
    case Reason::NoFirmware:
        return QLatin1String("no-firmware");
    case Reason::BadName:
        return QLatin1String("bad-name");
    case Reason::NoMeter:
        return QLatin1String("no-meter");
    case Reason::PortFailed:
        return QLatin1String("port-failed");
    case Reason::PortPermission:
        return QLatin1String("port-permission");
    case Reason::PortBusy:
        return QLatin1String("port-busy");
    case Reason::PortMissing:
        return QLatin1String("port-missing");
    case Reason::NotCompatible:
        return QLatin1String("not-compatible");
    case Reason::MeterUnplugged:
        return QLatin1String("meter-unplugged");
    case Reason::MeterSilent:
        return QLatin1String("meter-silent");
    case Reason::MeterNak:
        return QLatin1String("meter-nak");
    case Reason::MeterNotReady:
        return QLatin1String("meter-not-ready");
    case Reason::MeterCancelled:
        return QLatin1String("meter-cancelled");
    case Reason::MeterTooSlow:
        return QLatin1String("meter-too-slow");
    case Reason::Usage:
        return QLatin1String("usage");
    case Reason::Catalogue:
        return QLatin1String("catalogue");
    case Reason::Download:
        return QLatin1String("download");
    case Reason::FlashingFailed:
        return QLatin1String("flashing-failed");
    case Reason::WorkerFailed:
        return QLatin1String("worker-failed");
    }
    return QLatin1String();
}

// Every reason but None, in declaration order: for the manual's list and for reading codes back.
QList<Reason> allReasons();
// The reason whose code this is; nothing for a code of no reason.
std::optional<Reason> reasonFromCode(QStringView code);
