// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
// lumetra-release-server: serves a release folder on 127.0.0.1 until it is killed, optionally
// with one of the faults the tests use, so the updater can be tried against a bad server by hand.
#include "releaseserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cstdio>

namespace {

bool readInt(const QCommandLineParser &parser, const QString &name, qint64 minimum, qint64 maximum,
             qint64 &value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    value = parser.value(name).toLongLong(&ok);
    if (ok && value >= minimum && value <= maximum)
        return true;
    std::fprintf(stderr, "--%s: expected a number from %lld to %lld\n", name.toUtf8().constData(),
                 minimum, maximum);
    return false;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("lumetra-release-server"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves a release folder over HTTP, or HTTPS with --tls-cert and --tls-key, on 127.0.0.1:\n"
        "  GET /<branch>/lumetrarelease/           -> <folder>/<branch>/catalogue.json\n"
        "  GET /<branch>/lumetra.php?version=<v>   -> <folder>/<branch>/<v>"));
    parser.addHelpOption();
    parser.addOptions({
        {QStringLiteral("port"), QStringLiteral("Port to listen on (0 = any free port)."),
         QStringLiteral("N"), QStringLiteral("0")},
        {QStringLiteral("delay-ms"), QStringLiteral("Wait this long before each answer."),
         QStringLiteral("N")},
        {QStringLiteral("status"), QStringLiteral("Answer every request with this HTTP status."),
         QStringLiteral("N")},
        {QStringLiteral("body"), QStringLiteral("Body sent with --status."),
         QStringLiteral("TEXT")},
        {QStringLiteral("truncate"), QStringLiteral("Send only the first N bytes of each body."),
         QStringLiteral("N")},
        {QStringLiteral("close-early"),
         QStringLiteral("With --truncate: announce the whole body's length, close after N bytes.")},
        {QStringLiteral("redirect"), QStringLiteral("Answer 302 with this Location."),
         QStringLiteral("URL")},
        {QStringLiteral("never-answer"), QStringLiteral("Accept requests and never answer.")},
        {QStringLiteral("endless-body"),
         QStringLiteral("Answer 200 without a length and send bytes until the client hangs up.")},
        {QStringLiteral("announce-length"),
         QStringLiteral("Announce this Content-Length, whatever the body holds."),
         QStringLiteral("N")},
        {QStringLiteral("trickle-ms"), QStringLiteral("Send the body one byte every N ms."),
         QStringLiteral("N")},
        {QStringLiteral("path-contains"),
         QStringLiteral("Apply the faults only to requests whose path and query contain TEXT."),
         QStringLiteral("TEXT")},
        {QStringLiteral("tls-cert"),
         QStringLiteral("Serve HTTPS with this PEM certificate (then any intermediates)."),
         QStringLiteral("FILE")},
        {QStringLiteral("tls-key"),
         QStringLiteral("PEM private key (RSA or EC, unencrypted) of --tls-cert."),
         QStringLiteral("FILE")},
    });
    parser.addPositionalArgument(QStringLiteral("release-folder"),
                                 QStringLiteral("Folder holding one subfolder per branch."));
    parser.process(app);

    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1 || !QFileInfo(positional.first()).isDir()) {
        std::fprintf(stderr, "Give exactly one existing release folder.\n\n%s",
                     parser.helpText().toUtf8().constData());
        return 2;
    }

    qint64 port = 0;
    qint64 delayMs = 0;
    qint64 status = 0;
    qint64 truncateTo = -1;
    qint64 announcedLength = -1;
    qint64 trickleMs = 0;
    if (!readInt(parser, QStringLiteral("port"), 0, 65535, port) ||
        !readInt(parser, QStringLiteral("delay-ms"), 0, 24 * 3600 * 1000, delayMs) ||
        !readInt(parser, QStringLiteral("status"), 100, 599, status) ||
        !readInt(parser, QStringLiteral("truncate"), 0, Q_INT64_C(1) << 40, truncateTo) ||
        !readInt(parser, QStringLiteral("announce-length"), 0, Q_INT64_C(1) << 50,
                 announcedLength) ||
        !readInt(parser, QStringLiteral("trickle-ms"), 1, 24 * 3600 * 1000, trickleMs))
        return 2;

    ServerFaults faults;
    faults.pathContains = parser.value(QStringLiteral("path-contains"));
    faults.delayMs = static_cast<int>(delayMs);
    faults.status = static_cast<int>(status);
    faults.body = parser.value(QStringLiteral("body")).toUtf8();
    faults.truncateTo = truncateTo;
    faults.closeEarly = parser.isSet(QStringLiteral("close-early"));
    faults.redirectTo = parser.value(QStringLiteral("redirect"));
    faults.neverAnswer = parser.isSet(QStringLiteral("never-answer"));
    faults.endlessBody = parser.isSet(QStringLiteral("endless-body"));
    faults.announcedLength = announcedLength;
    faults.trickleMs = static_cast<int>(trickleMs);

    const QString certificateFile = parser.value(QStringLiteral("tls-cert"));
    const QString keyFile = parser.value(QStringLiteral("tls-key"));
    if (certificateFile.isEmpty() != keyFile.isEmpty()) {
        std::fprintf(stderr, "--tls-cert and --tls-key go together.\n");
        return 2;
    }

    ReleaseServer server(positional.first());
    if (!certificateFile.isEmpty() && !server.useTls(certificateFile, keyFile)) {
        std::fprintf(stderr, "Cannot read a PEM certificate from %s and a PEM key from %s\n",
                     certificateFile.toUtf8().constData(), keyFile.toUtf8().constData());
        return 2;
    }
    server.setFaults(faults);
    server.setLogging(true);
    if (server.start(static_cast<quint16>(port)) == 0) {
        std::fprintf(stderr, "Cannot listen on 127.0.0.1:%lld\n", port);
        return 1;
    }
    // Scripts wait for this line before they start the updater.
    std::fprintf(stdout, "Listening on %s\n", server.baseUrl().toUtf8().constData());
    std::fflush(stdout);
    return app.exec();
}
