// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: Norvatek
#include "localfile.h"

#include "boundedreply.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qsizetype readPieceBytes = 64 * 1024;

// Closes the descriptor however the read ends.
class Descriptor
{
public:
    explicit Descriptor(int descriptor) : fd(descriptor) {}
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd; }

private:
    int fd;
};

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("it is a directory");
    if (S_ISFIFO(mode))
        return QStringLiteral("it is a FIFO, not a regular file");
    if (S_ISSOCK(mode))
        return QStringLiteral("it is a socket, not a regular file");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("it is a device, not a regular file");
    return QStringLiteral("it is not a regular file");
}

QString tooLarge(qint64 maximumBytes)
{
    return QStringLiteral("it is larger than ") + BoundedReply::sizeText(maximumBytes);
}

} // namespace

std::optional<QByteArray> LocalFile::read(const QString &path, qint64 maximumBytes,
                                          Failure &failure)
{
    failure = Failure();
    // O_NONBLOCK: opening a FIFO with no writer, or a device that waits for a carrier, returns at
    // once instead of waiting for ever. The checks below are made on this descriptor, so whatever
    // the name points to by now, what is read is what was checked.
    const Descriptor file(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) {
        failure.missing = errno == ENOENT;
        failure.why = failure.missing ? QStringLiteral("no such file") : errorText(errno);
        return std::nullopt;
    }
    struct stat status
    {
    };
    if (::fstat(file.get(), &status) != 0) {
        failure.why = errorText(errno);
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        failure.why = kindOf(status.st_mode);
        return std::nullopt;
    }
    if (status.st_size > maximumBytes) {
        failure.why = tooLarge(maximumBytes);
        return std::nullopt;
    }

    // The size is only a hint: files of /proc say 0 and may hold more, and a file may grow while
    // it is read. One byte past the limit is enough to refuse it.
    QByteArray bytes;
    bytes.reserve(qsizetype(status.st_size) + 1);
    char piece[readPieceBytes];
    for (;;) {
        const qint64 room = maximumBytes + 1 - bytes.size();
        const ssize_t got = ::read(file.get(), piece, size_t(qMin<qint64>(room, readPieceBytes)));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            failure.why = errno == EAGAIN ? QStringLiteral("it cannot be read without waiting")
                                          : errorText(errno);
            return std::nullopt;
        }
        if (got == 0)
            break;
        bytes.append(piece, got);
        if (bytes.size() > maximumBytes) {
            failure.why = tooLarge(maximumBytes);
            return std::nullopt;
        }
    }
    return bytes;
}
