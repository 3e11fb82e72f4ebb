#pragma once
// Reading a whole file that someone else may have put in the program's way: only a regular
// file is read (a FIFO, a device or a socket never blocks or floods the reader), and never
// more than a given size, so an endless or huge file is refused instead of exhausting memory.

#include <QByteArray>
#include <QString>

namespace fileread {

enum class Failure {
    None,
    Missing,    // nothing of that name
    Folder,     // a folder
    NotRegular, // a FIFO, device, socket, ...
    TooLarge,   // more than the given size
    Unreadable, // the system refused to open or read it (`detail` says why)
};

struct Contents {
    QByteArray data;
    Failure failure = Failure::None;
    QString detail; // the system's reason for Unreadable
    qint64 size = 0;
    // The permission bits of the file read (rwx for owner, group and others, as in chmod);
    // 0 where the system has none.
    unsigned permissions = 0;
    bool ok() const { return failure == Failure::None; }
};

// Reads all of `path` when it is a regular file of at most `maxBytes`. Symbolic links are
// followed; what they lead to must be a regular file too.
Contents ReadRegularFile(const QString& path, qint64 maxBytes);

// "is not a regular file", "is larger than 64 MiB", ...: what went wrong, to follow a file
// name in a message.
QString Describe(const Contents& contents, qint64 maxBytes);

} // namespace fileread
