#include "hub/LocalEndpoint.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace hubwire {

QString LocalEndpoint(const QString& name, QString* error) {
#ifdef Q_OS_UNIX
    if (name.contains(QLatin1Char('/')))
        return name;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir())
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
