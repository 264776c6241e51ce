// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#pragma once

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
    static constexpr QLatin1String checksumMismatch{"checksum-mismatch"};
    // The server answered with any status but 200 or 203 (an error, a redirect it could not
    // complete, or a partial or otherwise incomplete 2xx answer); httpStatus says which.
    static constexpr QLatin1String httpStatusCode{"http-status"};
    // The announced length or the bytes received passed the limit for this kind of answer.
    static constexpr QLatin1String tooLarge{"too-large"};
    // No data for too long, or not complete in time.
    static constexpr QLatin1String timeout{"timeout"};
    // Refused, closed before the end, server name not found, or any other network failure.
    static constexpr QLatin1String connection{"connection"};
    // The TLS handshake failed: a certificate the system does not trust, or a redirect from
    // https down to http.
    static constexpr QLatin1String tls{"tls"};
    // A success status with no body at all.
    static constexpr QLatin1String empty{"empty"};
    // A body too short to be a firmware image: the update workflow finds it before flashing.
    static constexpr QLatin1String tooSmall{"too-small"};
    // A catalogue answer that is not a JSON array of product objects.
    static constexpr QLatin1String notCatalogue{"not-catalogue"};
    // A build with trusted keys got a catalogue whose signature is missing, cannot be fetched or
    // does not verify under any of them; detail says which, as a clause that completes "The
    // release catalogue is not trusted: ".
    static constexpr QLatin1String untrusted{"untrusted"};
    // A signed catalogue publishes no SHA-256 for a firmware file of the version, so nothing of
    // the version is downloaded: the signature would not cover those bytes.
    static constexpr QLatin1String checksumMissing{"checksum-missing"};
    // A release bundle (a release saved to a folder): the folder is not one, or its parts do not
    // belong together (a version or an image that its catalogue does not list).
    static constexpr QLatin1String notBundle{"not-bundle"};
    // A file that the bundle lists is not in its folder.
    static constexpr QLatin1String missingFile{"missing-file"};
    // The bundle's catalogue or signature differs from the one it was written with. A changed
    // image is a checksumMismatch, as for a download.
    static constexpr QLatin1String alteredFile{"altered-file"};

    QString code;
    QString detail;
    // The HTTP status of the answer, when there was one; 0 otherwise.
    int httpStatus = 0;

    bool isFailure() const { return !code.isEmpty(); }
};
