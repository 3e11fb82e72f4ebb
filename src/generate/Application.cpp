#include "generate/Application.h"

#include "generate/SvtFormat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

QFileDevice::FileError failNextWrite = QFileDevice::NoError;

[[noreturn]] void CannotWrite(const QString& fileName, const QString& reason) {
    throw ComponentError(QStringLiteral("Cannot write \"%1\": %2").arg(fileName, reason));
}

// A plain reason for a failed open, write or commit of a QSaveFile.
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
        // QSaveFile creates its temporary file in this folder, even to replace a file.
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

void Application::FailNextWriteForTesting(QFileDevice::FileError error) {
    failNextWrite = error;
}

IVariable& Application::AddVariable(const QString& name, const QString& fieldType, qint16 length,
                                    qint16 decimals) {
    return variables_.emplace_back(name, fieldType, length, decimals);
}

void Application::CloseApplication() {
    setUp_ = 0;
    title_.clear();
    variables_.clear();
}

QByteArray Application::ToSvt() const {
    return svt::Write(*this);
}

Application Application::FromSvt(const QByteArray& text, const QString& sourceName) {
    return svt::Read(text, sourceName);
}

void Application::SaveToFile(const QString& fileName) {
    CheckTarget(fileName);
    const QByteArray data = ToSvt();

    // QSaveFile writes a temporary file beside the target and renames it over the target on
    // commit; its destructor removes the temporary file when the commit does not happen.
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        CannotWrite(fileName, DeviceReason(file.error(), file.errorString()));

    qint64 written;
    QFileDevice::FileError error;
    QString detail;
    if (failNextWrite != QFileDevice::NoError) {
        error = failNextWrite;
        failNextWrite = QFileDevice::NoError;
        file.write(data.left(data.size() / 2));
        file.flush();
        written = -1;
        detail = QStringLiteral("simulated failure");
    } else {
        written = file.write(data);
        error = file.error();
        detail = file.errorString();
        if (written != data.size() && error == QFileDevice::NoError) {
            // A short write without an error code (a file size limit, a full disk).
            error = QFileDevice::WriteError;
            detail = QStringLiteral("only %1 of %2 bytes were written; the disk may be full")
                         .arg(qMax<qint64>(written, 0))
                         .arg(data.size());
        }
    }
    if (written != data.size()) {
        file.cancelWriting();
        CannotWrite(fileName, DeviceReason(error, detail));
    }
    if (!file.commit())
        CannotWrite(fileName, DeviceReason(file.error(), file.errorString()));
}

Application Application::LoadFromFile(const QString& fileName) {
    const QFileInfo info(fileName);
    const auto fail = [&fileName](const QString& reason) {
        throw ComponentError(QStringLiteral("Cannot read \"%1\": %2").arg(fileName, reason));
    };
    if (fileName.isEmpty())
        fail(QStringLiteral("no file name was given."));
    if (!info.exists())
        fail(QStringLiteral("the file does not exist."));
    if (info.isDir())
        fail(QStringLiteral("the name is a folder, not a file."));
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("the file cannot be opened (%1).").arg(file.errorString()));
    const QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        fail(QStringLiteral("the file cannot be read (%1).").arg(file.errorString()));
    return svt::Read(data, fileName);
}
