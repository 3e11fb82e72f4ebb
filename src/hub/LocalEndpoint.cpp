#include "hub/LocalEndpoint.h"

#include <QDir>
#include <QFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace hubwire {

#ifdef Q_OS_UNIX
namespace {

// True when `path` is a folder itself (not a link to one) that belongs to this user and that
// no one else may write to: nobody else can then put a socket in it first.
bool PrivateFolder(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace
#endif

QString LocalEndpoint(const QString& name, QString* error) {
#ifdef Q_OS_UNIX
    if (name.contains(QLatin1Char('/')))
        return name;
    // The runtime folder is taken only when it is safe; a variable pointing elsewhere (to a
    // shared or another user's folder) counts as none.
    const QString runtime = QDir::cleanPath(qEnvironmentVariable("XDG_RUNTIME_DIR"));
    if (QDir::isAbsolutePath(runtime) && PrivateFolder(runtime))
        return runtime + QLatin1Char('/') + name;

    // No runtime folder: a folder of our own in the shared temporary folder. Another user may
    // have made one of that name first; it is then refused rather than used.
    const QString folder =
        QDir::tempPath() + QStringLiteral("/svcorblex-%1").arg(quint64(::geteuid()));
    const QByteArray native = QFile::encodeName(folder);
    const auto fail = [&](const QString& why) {
        if (error)
            *error = QStringLiteral("the folder %1 %2").arg(folder, why);
        return QString();
    };
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return fail(QStringLiteral("cannot be made: ") +
                    QString::fromLocal8Bit(std::strerror(errno)));
    struct stat info {};
    if (::lstat(native.constData(), &info) != 0)
        return fail(QStringLiteral("cannot be read: ") +
                    QString::fromLocal8Bit(std::strerror(errno)));
    if (!S_ISDIR(info.st_mode))
        return fail(QStringLiteral("is not a folder"));
    if (info.st_uid != ::geteuid())
        return fail(QStringLiteral("belongs to another user"));
    if ((info.st_mode & 077) != 0)
        return fail(QStringLiteral("is open to other users"));
    return folder + QLatin1Char('/') + name;
#else
    Q_UNUSED(error);
    return name;
#endif
}

} // namespace hubwire
