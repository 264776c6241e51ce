// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

#include "reason.h"

#include <QLatin1String>
#include <QString>

// Why an answer of the release server (a catalogue or a firmware file) brought nothing usable:
// a stable code that scripts and the window can act on, and a short text for a person, such as
// "server answered HTTP 404" or "no data for 30 s". A failure with an empty code is no failure.
//
// The codes are part of lumetra-flash's JSON results, so they never change once published.
struct DownloadFailure
{
    // The bytes differ from the SHA-256 the catalogue publishes for the file.
    static constexpr QLatin1String checksumMismatch = reasonCode(Reason::ChecksumMismatch);
    // The server answered with any status but 200 or 203 (an error, a redirect it could not
    // complete, or a partial or otherwise incomplete 2xx answer); httpStatus says which.
    static constexpr QLatin1String httpStatusCode = reasonCode(Reason::HttpStatus);
    // The announced length or the bytes received passed the limit for this kind of answer.
    static constexpr QLatin1String tooLarge = reasonCode(Reason::TooLarge);
    // No data for too long, or not complete in time.
    static constexpr QLatin1String timeout = reasonCode(Reason::Timeout);
    // Refused, closed before the end, server name not found, or any other network failure.
    static constexpr QLatin1String connection = reasonCode(Reason::Connection);
    // The TLS handshake failed: a certificate the system does not trust, or a redirect from
    // https down to http.
    static constexpr QLatin1String tls = reasonCode(Reason::Tls);
    // A success status with no body at all.
    static constexpr QLatin1String empty = reasonCode(Reason::Empty);
    // A body too short to be a firmware image: the update workflow finds it before flashing.
    static constexpr QLatin1String tooSmall = reasonCode(Reason::TooSmall);
    // A catalogue answer that is not a JSON array of product objects.
    static constexpr QLatin1String notCatalogue = reasonCode(Reason::NotCatalogue);
    // A build with trusted keys got a catalogue whose signature is missing, cannot be fetched or
    // does not verify under any of them; detail says which, as a clause that completes "The
    // release catalogue is not trusted: ".
    static constexpr QLatin1String untrusted = reasonCode(Reason::Untrusted);
    // A signed catalogue publishes no SHA-256 for a firmware file of the version, so nothing of
    // the version is downloaded: the signature would not cover those bytes.
    static constexpr QLatin1String checksumMissing = reasonCode(Reason::ChecksumMissing);
    // A signed catalogue that is genuine but not the one to use now: older than one accepted
    // before from the same server and branch, signed for another branch, past its expiry, or
    // without the time and branch its signed comment must state. Detail completes "The release
    // catalogue is not trusted: " as for untrusted.
    static constexpr QLatin1String catalogueRollback = reasonCode(Reason::CatalogueRollback);
    static constexpr QLatin1String catalogueWrongBranch = reasonCode(Reason::CatalogueWrongBranch);
    static constexpr QLatin1String catalogueExpired = reasonCode(Reason::CatalogueExpired);
    static constexpr QLatin1String catalogueUnbound = reasonCode(Reason::CatalogueUnbound);
    // The release branch asked for is not a branch name, so nothing is requested.
    static constexpr QLatin1String badBranch = reasonCode(Reason::BadBranch);
    // A release bundle (a release saved to a folder): the folder is not one, or its parts do not
    // belong together (a version or an image that its catalogue does not list).
    static constexpr QLatin1String notBundle = reasonCode(Reason::NotBundle);
    // A file that the bundle lists is not in its folder.
    static constexpr QLatin1String missingFile = reasonCode(Reason::MissingFile);
    // The bundle's catalogue or signature differs from the one it was written with. A changed
    // image is a checksumMismatch, as for a download.
    static constexpr QLatin1String alteredFile = reasonCode(Reason::AlteredFile);

    QString code;
    QString detail;
    // The HTTP status of the answer, when there was one; 0 otherwise.
    int httpStatus = 0;

    bool isFailure() const { return !code.isEmpty(); }
};
