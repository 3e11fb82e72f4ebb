#include "generate/SaveFile.h"

#include "component/Component.h"

#include <QDir>
#include <QFileInfo>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <unistd.h>
#endif

namespace savefile {

namespace {

[[noreturn]] void CannotWrite(const QString& fileName, const QString& reason) {
    throw ComponentError(QStringLiteral("Cannot write \"%1\": %2").arg(fileName, reason));
}

// A plain reason for a failed open, write or commit.
QString DeviceReason(QFileDevice::FileError error, const QString& detail) {
    switch (error) {
    case QFileDevice::ResourceError:
        return QStringLiteral("the disk is full or out of resources (%1).").arg(detail);
    case QFileDevice::PermissionsError:
        return QStringLiteral("permission denied (%1).").arg(detail);
    case QFileDevice::OpenError:
        return QStringLiteral("the file cannot be created (%1).").arg(detail);
    case QFileDevice::RenameError:
        return QStringLiteral("the new file cannot replace the old one (%1).").arg(detail);
    default:
        return QStringLiteral("the data cannot be written (%1).").arg(detail);
    }
}

// Checks the conditions that a failed open reports only vaguely, so that the message says
// what is wrong with the name rather than an operating-system code.
void CheckTarget(const QString& fileName) {
    if (fileName.isEmpty())
        CannotWrite(fileName, QStringLiteral("no file name was given."));
    const QFileInfo info(fileName);
    if (info.isDir())
        CannotWrite(fileName, QStringLiteral("the name is a folder."));
    // Walk up to the nearest existing ancestor to tell "missing" from "not a folder".
    QFileInfo folder(info.absolutePath());
    if (folder.isDir()) {
        // The temporary file is created in this folder, even to replace a file.
        if (!folder.isWritable())
            CannotWrite(fileName, QStringLiteral("the folder is not writable."));
        return;
    }
    QString path = folder.absoluteFilePath();
    while (!QFileInfo::exists(path)) {
        const QString parent = QFileInfo(path).absolutePath();
        if (parent == path)
            break;
        path = parent;
    }
    if (QFileInfo::exists(path) && !QFileInfo(path).isDir())
        CannotWrite(
            fileName,
            QStringLiteral("\"%1\" is a file, not a folder.").arg(QDir::toNativeSeparators(path)));
    CannotWrite(fileName, QStringLiteral("the folder does not exist."));
}

} // namespace

void Replace(const QString& fileName, const QByteArray& data, const DeviceFactory& makeDevice) {
    CheckTarget(fileName);
    std::unique_ptr<QSaveFile> file =
        makeDevice ? makeDevice(fileName) : std::make_unique<QSaveFile>(fileName);
    // Unbuffered, so that a full disk or a file size limit shows in the write that meets it.
    // Through the device's buffer the last part would only be written at commit, which
    // reports no such failure and would rename a cut-off file over the old one.
    if (!file->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        CannotWrite(fileName, DeviceReason(file->error(), file->errorString()));

    // Whatever fails from here on, the temporary file goes and the old file stays.
    const auto fail = [&](QFileDevice::FileError error, const QString& detail) {
        file->cancelWriting();
        CannotWrite(fileName, DeviceReason(error, detail));
    };
    qint64 done = 0;
    while (done < data.size()) {
        const qint64 n = file->write(data.constData() + done, data.size() - done);
        if (n <= 0) {
            const QFileDevice::FileError error =
                file->error() == QFileDevice::NoError ? QFileDevice::WriteError : file->error();
            const QString detail = QStringLiteral("only %1 of %2 bytes were written: %3")
                                       .arg(done)
                                       .arg(data.size())
                                       .arg(file->errorString());
            fail(error, detail);
        }
        done += n;
    }
    if (!file->flush() || file->error() != QFileDevice::NoError)
        fail(file->error() == QFileDevice::NoError ? QFileDevice::WriteError : file->error(),
             file->errorString());
#ifdef Q_OS_UNIX
    // A file system that allocates late (or a network one) reports a full disk or a failing
    // drive only when the data is forced out; the commit's own sync ignores that.
    if (file->handle() >= 0 && ::fsync(file->handle()) != 0 && errno != EINVAL && errno != EROFS) {
        const int code = errno;
        fail(code == ENOSPC || code == EDQUOT ? QFileDevice::ResourceError
                                              : QFileDevice::WriteError,
             QString::fromLocal8Bit(std::strerror(code)));
    }
#endif
    if (!file->commit())
        CannotWrite(fileName, DeviceReason(file->error(), file->errorString()));
}

} // namespace savefile
