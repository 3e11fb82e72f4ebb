#pragma once
// A save device that fails the way real ones do, for tests of what a failed save leaves
// behind: the disk fills after a number of bytes, the drive reports an I/O error, or the
// target's folder is removed while the file is being written.

#include "generate/SaveFile.h"

#include <QDir>
#include <QFileInfo>

enum class SaveFault { DiskFull, IoError, FolderVanishes };

class FailingSaveFile : public QSaveFile {
public:
    FailingSaveFile(const QString& name, SaveFault fault, qint64 room)
        : QSaveFile(name), fault_(fault), room_(room) {}

    // A factory for Application or savefile::Replace.
    static savefile::DeviceFactory Factory(SaveFault fault, qint64 room = 0) {
        return [fault, room](const QString& name) {
            return std::make_unique<FailingSaveFile>(name, fault, room);
        };
    }

protected:
    qint64 writeData(const char* data, qint64 len) override {
        switch (fault_) {
        case SaveFault::IoError:
            setErrorString(QStringLiteral("Input/output error"));
            return -1;
        case SaveFault::FolderVanishes:
            QDir(QFileInfo(fileName()).absolutePath()).removeRecursively();
            return QSaveFile::writeData(data, len);
        case SaveFault::DiskFull:
            break;
        }
        if (room_ <= 0) {
            setErrorString(QStringLiteral("No space left on device"));
            return -1;
        }
        const qint64 n = QSaveFile::writeData(data, std::min(len, room_));
        room_ -= std::max<qint64>(n, 0);
        return n;
    }

private:
    SaveFault fault_;
    qint64 room_;
};
