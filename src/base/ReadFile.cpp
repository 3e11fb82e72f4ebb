#include "base/ReadFile.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fileread {

namespace {

Contents Failed(Failure failure, QString detail = {}) {
    Contents contents;
    contents.failure = failure;
    contents.detail = std::move(detail);
    return contents;
}

#ifdef Q_OS_UNIX
QString SystemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Opened without blocking (a FIFO without a writer would wait for one), then checked on the
// open descriptor itself, so the file cannot be swapped between the check and the read.
Contents ReadUnix(const QString& path, qint64 maxBytes) {
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return Failed(Failure::Missing);
        if (error == EISDIR)
            return Failed(Failure::Folder);
        return Failed(Failure::Unreadable, SystemError(error));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return Failed(Failure::Unreadable, SystemError(errno));
    if (S_ISDIR(info.st_mode))
        return Failed(Failure::Folder);
    if (!S_ISREG(info.st_mode))
        return Failed(Failure::NotRegular);
    if (info.st_size > maxBytes) {
        Contents contents = Failed(Failure::TooLarge);
        contents.size = qint64(info.st_size);
        return contents;
    }
    // A regular file does not block, so the flag can go; reads then behave as usual.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    Contents contents;
    // The size may change while it is read: never more than one byte past the limit, which
    // tells a file that grew too large.
    contents.data.resize(qsizetype(info.st_size) + 1);
    qint64 total = 0;
    for (;;) {
        if (total == contents.data.size()) {
            if (total > maxBytes)
                break;
            contents.data.resize(qsizetype(std::min<qint64>(maxBytes + 1, total * 2 + 4096)));
        }
        const ssize_t n =
            ::read(fd, contents.data.data() + total, size_t(contents.data.size() - total));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return Failed(Failure::Unreadable, SystemError(errno));
        }
        if (n == 0)
            break;
        total += n;
    }
    contents.size = total;
    if (total > maxBytes)
        return Failed(Failure::TooLarge);
    contents.data.truncate(qsizetype(total));
    contents.permissions = unsigned(info.st_mode & 0777);
    return contents;
}
#endif

} // namespace

Contents ReadRegularFile(const QString& path, qint64 maxBytes) {
    if (path.isEmpty())
        return Failed(Failure::Missing);
#ifdef Q_OS_UNIX
    return ReadUnix(path, maxBytes);
#else
    const QFileInfo info(path);
    if (!info.exists())
        return Failed(Failure::Missing);
    if (info.isDir())
        return Failed(Failure::Folder);
    if (!info.isFile())
        return Failed(Failure::NotRegular);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Failed(Failure::Unreadable, file.errorString());
    if (file.size() > maxBytes) {
        Contents contents = Failed(Failure::TooLarge);
        contents.size = file.size();
        return contents;
    }
    Contents contents;
    contents.data = file.read(maxBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return Failed(Failure::Unreadable, file.errorString());
    contents.size = contents.data.size();
    if (contents.size > maxBytes)
        return Failed(Failure::TooLarge);
    return contents;
#endif
}

QString Describe(const Contents& contents, qint64 maxBytes) {
    switch (contents.failure) {
    case Failure::None:
        return QString();
    case Failure::Missing:
        return QStringLiteral("does not exist");
    case Failure::Folder:
        return QStringLiteral("is a folder, not a file");
    case Failure::NotRegular:
        return QStringLiteral("is not a regular file");
    case Failure::TooLarge:
        return QStringLiteral("is larger than %1 MiB").arg(double(maxBytes) / (1024 * 1024));
    case Failure::Unreadable:
        return QStringLiteral("cannot be read (%1)").arg(contents.detail);
    }
    return QString();
}

} // namespace fileread
