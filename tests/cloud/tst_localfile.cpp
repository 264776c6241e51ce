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

} // namespace

class LocalFileTest : public QObject
{
    Q_OBJECT

private slots:
    void readsOnlyRegularFilesWithinLimit_data();
    void readsOnlyRegularFilesWithinLimit();
};

void LocalFileTest::readsOnlyRegularFilesWithinLimit_data()
{
    // In the test's folder: "image.bin", a regular file of `size` bytes; "fifo", a FIFO; "link",
    // a link to image.bin swapped to the FIFO once it was looked at; "" the folder itself.
    QTest::addColumn<QString>("name"); // or an absolute path
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("refusal"); // part of the reason; empty: read

    const QString image = QStringLiteral("image.bin");
    const qint64 size = 4096;
    QTest::newRow("a regular file") << image << size << QString();
    QTest::newRow("an empty file") << image << qint64(0) << QString();
    QTest::newRow("a /proc file whose size says 0") << "/proc/self/status" << size << QString();
    QTest::newRow("a file one byte past the limit")
        << image << limit + 1 << QStringLiteral("larger than 16 MiB");
    QTest::newRow("/dev/zero") << "/dev/zero" << size << QStringLiteral("a device");
    QTest::newRow("a FIFO nobody writes to") << "fifo" << size << QStringLiteral("a FIFO");
    // The name is checked as a regular file and then swapped to a FIFO before the open, as a
    // hostile folder would race: the check that counts is the one on the open descriptor.
    QTest::newRow("a link swapped to a FIFO after the look")
        << "link" << size << QStringLiteral("a FIFO");
    QTest::newRow("a directory") << "" << size << QStringLiteral("a directory");
}

void LocalFileTest::readsOnlyRegularFilesWithinLimit()
{
    QFETCH(QString, name);
    QFETCH(qint64, size);
    QFETCH(QString, refusal);

    QTemporaryDir folder;
    const QString regular = folder.filePath(QStringLiteral("image.bin"));
    const QString fifo = folder.filePath(QStringLiteral("fifo"));
    const QByteArray content(4096, 'i');
    QFile file(regular);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(content) == content.size());
    QVERIFY(file.resize(size));
    file.close();
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString path = name.startsWith(QLatin1Char('/')) ? name : folder.filePath(name);
    if (name == QLatin1String("link")) {
        QVERIFY(QFile::link(regular, path));
        QVERIFY(QFileInfo(path).isFile());
        QVERIFY(QFile::remove(path));
        QVERIFY(QFile::link(fifo, path));
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
        if (name.startsWith(QLatin1String("/proc/")))
            QVERIFY(read->startsWith("Name:"));
        else
            QCOMPARE(*read, content.left(size));
        return;
    }
    QVERIFY(!read);
    QVERIFY2(failure.why.contains(refusal), qPrintable(failure.why));
}

QTEST_GUILESS_MAIN(LocalFileTest)
#include "tst_localfile.moc"
