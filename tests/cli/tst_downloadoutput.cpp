// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// lumetra-flash download --output, run as the real program: a folder it cannot write (a full
// disk, a read-only file system) gets its own exit status and reason and a message saying why,
// and neither that nor Ctrl-C while the folder is written leaves anything behind.
#include "releasefolder.h"
#include "releaseserver.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {

constexpr int cannotWriteStatus = 8;
constexpr int finishMs = 120 * 1000;
constexpr int pollMs = 20;
// Enough to write for a while: the signal must find the folder half written.
constexpr int models = 6;
constexpr qsizetype imageBytes = 8 * 1024 * 1024;
const QString branch = QStringLiteral("cust");
const QString version = QStringLiteral("1.0.0");
const QDir::Filters everything = QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot;

ReleaseVersions release()
{
    QList<ReleaseImage> images;
    for (int model = 0; model < models; ++model)
        images.append({QStringLiteral("MODEL%1_main_firmware").arg(model),
                       ReleaseFolder::image(imageBytes, quint32(model + 1))});
    return {{version, images}};
}

} // namespace

class DownloadOutputTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void unwritableFolderHasItsOwnStatus_data();
    void unwritableFolderHasItsOwnStatus();
    void interruptWhileWritingLeavesNothing();

private:
    QStringList downloadTo(const QString &folder) const;

    ReleaseFolder published;
    std::unique_ptr<ReleaseServer> server;
    QTemporaryDir home;
};

void DownloadOutputTest::initTestCase()
{
    QVERIFY(published.publish(branch, release()));
    server = std::make_unique<ReleaseServer>(published.path());
    QVERIFY(server->start() != 0);
}

QStringList DownloadOutputTest::downloadTo(const QString &folder) const
{
    return {"--server", server->baseUrl(), "--json", "download", "--branch",
            branch,     "--output",        folder,   version};
}

void DownloadOutputTest::unwritableFolderHasItsOwnStatus_data()
{
    QTest::addColumn<QString>("mountOptions");
    QTest::addColumn<QString>("because"); // in the error line
    QTest::newRow("a full disk") << QStringLiteral("size=1m") << QStringLiteral("No space left");
    QTest::newRow("a read-only file system")
        << QStringLiteral("ro") << QStringLiteral("Read-only file system");
}

// The parent folder is a small or read-only tmpfs in a mount namespace of the program's own.
void DownloadOutputTest::unwritableFolderHasItsOwnStatus()
{
    QFETCH(QString, mountOptions);
    QFETCH(QString, because);
    QTemporaryDir parent;
    const QString script =
        QStringLiteral("mount -t tmpfs -o %1 lumetra-test \"$1\" || exit 99; shift; "
                       "\"$@\"; status=$?; echo \"left: $(ls -A \"$0\")\"; exit $status")
            .arg(mountOptions);
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral("unshare"),
                  QStringList{QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"),
                              script, parent.path(), parent.path(),
                              QStringLiteral(LUMETRA_FLASH_PATH)} +
                      downloadTo(parent.filePath(QStringLiteral("release"))));
    QVERIFY(program.waitForFinished(finishMs));
    if (program.exitCode() == 99)
        QSKIP("no mount namespace here (needs root or user namespaces)");
    const QString output = QString::fromUtf8(program.readAllStandardOutput());
    const QString errors = QString::fromUtf8(program.readAllStandardError());
    QCOMPARE(program.exitCode(), cannotWriteStatus);
    QVERIFY2(errors.contains(because), qPrintable(errors));
    QVERIFY2(!errors.contains(QLatin1String("Unknown error")), qPrintable(errors));
    // The JSON result, then what is left in the mounted parent: nothing.
    const QStringList lines = output.trimmed().split(QLatin1Char('\n'));
    QVERIFY2(lines.size() >= 2, qPrintable(output));
    QCOMPARE(lines.last().trimmed(), QStringLiteral("left:"));
    const QJsonObject result =
        QJsonDocument::fromJson(lines.at(lines.size() - 2).toUtf8()).object();
    QCOMPARE(result.value(QLatin1String("reason")).toString(), QStringLiteral("cannot-write"));
}

// SIGINT the moment the temporary folder appears, while the images are being written.
void DownloadOutputTest::interruptWhileWritingLeavesNothing()
{
    QTemporaryDir parent;
    const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    QVERIFY(watch >= 0);
    QVERIFY(inotify_add_watch(watch, QFile::encodeName(parent.path()).constData(), IN_CREATE) >= 0);

    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(LUMETRA_FLASH_PATH),
                  downloadTo(parent.filePath(QStringLiteral("release"))));
    QVERIFY(program.waitForStarted());
    bool interrupted = false;
    QElapsedTimer running;
    running.start();
    while (!interrupted && program.state() != QProcess::NotRunning &&
           running.elapsed() < finishMs) {
        pollfd ready{watch, POLLIN, 0};
        if (::poll(&ready, 1, pollMs) > 0) {
            alignas(inotify_event) char events[4096];
            const ssize_t got = ::read(watch, events, sizeof events);
            for (ssize_t at = 0; at < got;) {
                const auto *event = reinterpret_cast<const inotify_event *>(events + at);
                if (event->len > 0 && QByteArray(event->name).startsWith(".release.partial-")) {
                    ::kill(pid_t(program.processId()), SIGINT);
                    interrupted = true;
                }
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
        QCoreApplication::processEvents();
    }
    ::close(watch);
    QVERIFY(program.waitForFinished(finishMs));
    QVERIFY2(interrupted, "the release folder was never begun");
    QCOMPARE(program.exitStatus(), QProcess::CrashExit); // ended by the signal, as Ctrl-C ends it
    QCOMPARE(QDir(parent.path()).entryList(everything), QStringList());
}

QTEST_GUILESS_MAIN(DownloadOutputTest)
#include "tst_downloadoutput.moc"
