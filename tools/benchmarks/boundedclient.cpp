// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// The release-server client driven as the window drives it, in a process of its own so that its
// memory can be limited and measured: asks SERVER for a catalogue (kind "catalogue"), for the
// catalogue with its signature ("signature"), or for the catalogue and then the firmware of its
// one version ("image"), and prints how that ended and the peak resident memory.
//
//   bounded-client KIND SERVER [ADDRESS_SPACE_MIB]
//
// With ADDRESS_SPACE_MIB the process may map no more than that (RLIMIT_AS), so a client that
// takes in what it should refuse dies of it instead of growing. It is built without sanitizers:
// their runtime reserves terabytes of address space at start, which no such limit admits.
//
// Output: "failed CODE: DETAIL" or "ok", then "peak-rss-kib N". Exit status 0 either way; 1 for a
// bad command line; a signal when the memory ran out.
#include "nvkcloudinterface.h"
#include "releasetrust.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {

constexpr qint64 bytesPerMebibyte = 1024 * 1024;
constexpr int givingUpMs = 10 * 60 * 1000;
const QString branch = QStringLiteral("cust");
const QString version = QStringLiteral("1.0.0");
const QString hardwareId = QStringLiteral("ABCDEF");

// Any key will do: the signature is refused long before it is checked.
ReleaseSignature::PublicKey someKey()
{
    const QByteArray raw = QByteArray("Ed") + QByteArray(8, '\1') + QByteArray(32, '\2');
    return *ReleaseSignature::parsePublicKey(raw.toBase64());
}

void report(const QString &outcome)
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    QTextStream(stdout) << outcome << "\npeak-rss-kib " << usage.ru_maxrss << Qt::endl;
    QCoreApplication::exit(0);
}

QString failed(const DownloadFailure &failure)
{
    return QStringLiteral("failed ") + failure.code + QStringLiteral(": ") + failure.detail;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc >= 4) {
        const rlim_t limit = rlim_t(QByteArray(argv[3]).toLongLong()) * bytesPerMebibyte;
        const rlimit addressSpace{limit, limit};
        if (limit == 0 || setrlimit(RLIMIT_AS, &addressSpace) != 0)
            return 1;
    }
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() < 3)
        return 1;
    const QString kind = arguments.at(1);

    // Only a client that requires a signature fetches one.
    NVKCloudInterface cloud(arguments.at(2), kind == QLatin1String("signature")
                                                 ? ReleaseTrust({someKey()})
                                                 : ReleaseTrust());
    QObject::connect(&cloud, &NVKCloudInterface::catalogue_failed, &app,
                     [](const DownloadFailure &failure) { report(failed(failure)); });
    QObject::connect(&cloud, &NVKCloudInterface::catalogue_received, &app, [&] {
        if (kind != QLatin1String("image"))
            return report(QStringLiteral("ok"));
        cloud.requestFirmware(version, hardwareId);
    });
    QObject::connect(
        &cloud, &NVKCloudInterface::firmware_download_failed, &app,
        [](const QString &, const DownloadFailure &failure) { report(failed(failure)); });
    QObject::connect(&cloud, &NVKCloudInterface::firmware_download_finished, &app,
                     [] { report(QStringLiteral("ok")); });
    QTimer::singleShot(givingUpMs, &app, [] { report(QStringLiteral("no end")); });
    cloud.requestVersions(branch, false);
    return app.exec();
}
