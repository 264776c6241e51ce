// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
//
// Local files that are to become images or parts of a release folder: only a regular file is
// read, from the descriptor that was checked, and never past its limit; nothing else can hang or
// flood the program.
#include "localfile.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr qint64 limit = 16 * 1024 * 1024;
constexpr auto longestRead = std::chrono::seconds(5);

enum class Kind { Regular, Empty, TooLarge, ProcFile, DevZero, Fifo, LinkSwappedToFifo, Directory };

} // namespace

Q_DECLARE_METATYPE(Kind)

class LocalFileTest : public QObject
{
    Q_OBJECT

private slots:
    void readsOnlyRegularFilesWithinLimit_data();
    void readsOnlyRegularFilesWithinLimit();
};

void LocalFileTest::readsOnlyRegularFilesWithinLimit_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("refusal"); // part of the reason; empty: read

    QTest::newRow("a regular file") << Kind::Regular << QString();
    QTest::newRow("an empty file") << Kind::Empty << QString();
    QTest::newRow("a /proc file whose size says 0") << Kind::ProcFile << QString();
    QTest::newRow("a file one byte past the limit")
        << Kind::TooLarge << QStringLiteral("larger than 16 MiB");
    QTest::newRow("/dev/zero") << Kind::DevZero << QStringLiteral("a device");
    QTest::newRow("a FIFO nobody writes to") << Kind::Fifo << QStringLiteral("a FIFO");
    // The name is checked as a regular file and then swapped to a FIFO before the open, as a
    // hostile folder would race: the check that counts is the one on the open descriptor.
    QTest::newRow("a link swapped to a FIFO after the look")
        << Kind::LinkSwappedToFifo << QStringLiteral("a FIFO");
    QTest::newRow("a directory") << Kind::Directory << QStringLiteral("a directory");
}

void LocalFileTest::readsOnlyRegularFilesWithinLimit()
{
    QFETCH(Kind, kind);
    QFETCH(QString, refusal);

    QTemporaryDir folder;
    const QString regular = folder.filePath(QStringLiteral("image.bin"));
    const QString fifo = folder.filePath(QStringLiteral("fifo"));
    const QByteArray content(4096, 'i');
    QFile file(regular);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(content) == content.size());
    file.close();
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

    QString path = regular;
    QByteArray expected = content;
    switch (kind) {
    case Kind::Regular:
        break;
    case Kind::Empty:
        QVERIFY(file.resize(0));
        expected.clear();
        break;
    case Kind::TooLarge:
        QVERIFY(file.resize(limit + 1));
        break;
    case Kind::ProcFile:
        path = QStringLiteral("/proc/self/status");
        break;
    case Kind::DevZero:
        path = QStringLiteral("/dev/zero");
        break;
    case Kind::Fifo:
        path = fifo;
        break;
    case Kind::LinkSwappedToFifo: {
        path = folder.filePath(QStringLiteral("link"));
        QVERIFY(QFile::link(regular, path));
        QVERIFY(QFileInfo(path).isFile());
        QVERIFY(QFile::remove(path));
        QVERIFY(QFile::link(fifo, path));
        break;
    }
    case Kind::Directory:
        path = folder.path();
        break;
    }

    // Read in a thread of its own, so that a read that waits for a writer fails the row instead of
    // hanging the suite: the FIFO is then opened for writing, which lets it go.
    std::atomic<bool> done{false};
    LocalFile::Failure failure;
    std::optional<QByteArray> read;
    std::thread reader([&] {
        read = LocalFile::read(path, limit, failure);
        done = true;
    });
    const auto start = std::chrono::steady_clock::now();
    while (!done && std::chrono::steady_clock::now() - start < longestRead)
        QTest::qWait(10);
    const bool hung = !done;
    if (hung) {
        const int writer = ::open(QFile::encodeName(fifo).constData(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
    }
    reader.join();
    QVERIFY2(!hung, "the read waited for a writer");

    if (refusal.isEmpty()) {
        QVERIFY2(read.has_value(), qPrintable(failure.why));
        if (kind == Kind::ProcFile)
            QVERIFY(read->startsWith("Name:"));
        else
            QCOMPARE(*read, expected);
        return;
    }
    QVERIFY(!read);
    QVERIFY2(failure.why.contains(refusal), qPrintable(failure.why));
}

QTEST_GUILESS_MAIN(LocalFileTest)
#include "tst_localfile.moc"
