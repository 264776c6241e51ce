// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// checksum-benchmark: what checking a published SHA-256 costs a download. It times the hash of a
// 256 KiB image on its own, then whole downloads of that image from the local release server
// through the real client, with and without a checksum in the catalogue, and prints the medians.
// It also times the check of a catalogue's minisign signature (a key made with the minisign
// command), for a catalogue of 100 versions.
#include "nvkcloudinterface.h"
#include "releasefolder.h"
#include "releaseserver.h"
#include "releasesignature.h"
#include "testsigningkey.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>

#include <algorithm>
#include <cstdio>

namespace {

constexpr qsizetype imageSize = 256 * 1024;
constexpr int hashRuns = 200;
constexpr int downloadRuns = 40;
const QString branch = QStringLiteral("cust");
constexpr int catalogueVersions = 100;
constexpr qsizetype catalogueImageSize = 64; // the images' bytes do not reach the catalogue
constexpr int signatureRuns = 200;

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// Milliseconds from requestFirmware to firmware_download_finished; negative when it failed.
double timedDownload(NVKCloudInterface &cloud, const QString &version)
{
    QEventLoop loop;
    bool ok = false;
    const auto finished =
        QObject::connect(&cloud, &NVKCloudInterface::firmware_download_finished, [&] {
            ok = true;
            loop.quit();
        });
    const auto failed = QObject::connect(&cloud, &NVKCloudInterface::firmware_download_failed,
                                         [&] { loop.quit(); });
    QElapsedTimer clock;
    clock.start();
    cloud.requestFirmware(version, QStringLiteral("DOVUr3"));
    loop.exec();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    QObject::disconnect(finished);
    QObject::disconnect(failed);
    return ok ? ms : -1.0;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A signed catalogue of catalogueVersions versions, each with an image for two models and their
// checksums, as a real release publishes it; then the median time of ReleaseSignature::verify
// over it. Negative when the signature could not be made or did not verify.
double medianSignatureCheckMs(qsizetype *catalogueSize)
{
    TestSigningKey key;
    ReleaseFolder folder;
    ReleaseVersions versions;
    for (int i = 0; i < catalogueVersions; ++i) {
        const QString tag = QStringLiteral("1.%1.0").arg(i);
        QList<ReleaseImage> images;
        for (const QString &model : {QStringLiteral("DOVUr3"), QStringLiteral("QX7Lm2")}) {
            const QByteArray bytes = ReleaseFolder::image(catalogueImageSize, quint32(i));
            images.append(
                {model + QStringLiteral("_main_firmware"), bytes, ReleaseFolder::sha256(bytes)});
        }
        versions.append({tag, images});
    }
    const std::optional<ReleaseSignature::PublicKey> publicKey =
        ReleaseSignature::parsePublicKey(key.publicKey().toLatin1());
    if (!key.isValid() || !publicKey || !folder.publish(branch, versions, &key)) {
        std::fprintf(stderr, "cannot sign a catalogue: %s\n", qPrintable(key.error()));
        return -1.0;
    }
    const QString cataloguePath =
        folder.path() + QLatin1Char('/') + branch + QStringLiteral("/catalogue.json");
    const QByteArray catalogue = readFile(cataloguePath);
    const QByteArray signature = readFile(cataloguePath + QStringLiteral(".minisig"));
    *catalogueSize = catalogue.size();

    QList<double> checkMs;
    for (int i = 0; i < signatureRuns; ++i) {
        QElapsedTimer clock;
        clock.start();
        const bool ok = ReleaseSignature::verify(catalogue, signature, {*publicKey}).ok();
        checkMs.append(double(clock.nsecsElapsed()) / 1e6);
        if (!ok)
            return -1.0;
    }
    return median(checkMs);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QByteArray image = ReleaseFolder::image(imageSize, 1);
    const QByteArray digest = QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex();

    QList<double> hashMs;
    for (int i = 0; i < hashRuns; ++i) {
        QElapsedTimer clock;
        clock.start();
        const QByteArray hex = QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex();
        hashMs.append(double(clock.nsecsElapsed()) / 1e6);
        if (hex != digest)
            return 1;
    }

    ReleaseFolder folder;
    folder.writeFile(branch, QStringLiteral("image.bin"), image);
    folder.writeCatalogue(branch, R"([{"product": "Lumetra", "versions": [
        {"tag_name": "plain", "DOVUr3_main_firmware": "image.bin"},
        {"tag_name": "checked", "DOVUr3_main_firmware": "image.bin",
         "DOVUr3_main_firmware_sha256": ")" +
                                      digest + R"("}]}])");
    ReleaseServer server(folder.path());
    if (server.start() == 0)
        return 1;
    NVKCloudInterface cloud(server.baseUrl());
    QEventLoop catalogue;
    QObject::connect(&cloud, &NVKCloudInterface::versions_update, &catalogue, [&] {
        if (cloud.versions().size() == 2)
            catalogue.quit();
    });
    cloud.requestVersions(branch, false);
    catalogue.exec();

    // Alternated, so that a busy moment of the machine weighs on both kinds alike.
    QList<double> plainMs, checkedMs;
    for (int i = 0; i < downloadRuns; ++i) {
        plainMs.append(timedDownload(cloud, QStringLiteral("plain")));
        checkedMs.append(timedDownload(cloud, QStringLiteral("checked")));
    }
    if (*std::min_element(plainMs.begin(), plainMs.end()) < 0 ||
        *std::min_element(checkedMs.begin(), checkedMs.end()) < 0) {
        std::fprintf(stderr, "a download failed\n");
        return 1;
    }

    qsizetype catalogueSize = 0;
    const double signatureMs = medianSignatureCheckMs(&catalogueSize);
    if (signatureMs < 0)
        return 1;

    std::printf("image size:                      %lld bytes\n",
                static_cast<long long>(image.size()));
    std::printf("SHA-256 of the image (median):   %.3f ms (min %.3f, %d runs)\n", median(hashMs),
                *std::min_element(hashMs.begin(), hashMs.end()), hashRuns);
    std::printf("download without checksum:       %.3f ms median over loopback (%d runs)\n",
                median(plainMs), downloadRuns);
    std::printf("download with checksum:          %.3f ms median over loopback (%d runs)\n",
                median(checkedMs), downloadRuns);
    std::printf(
        "signature check of a catalogue:  %.3f ms median (%d versions, %lld bytes, %d runs)\n",
        signatureMs, catalogueVersions, static_cast<long long>(catalogueSize), signatureRuns);
    return 0;
}
