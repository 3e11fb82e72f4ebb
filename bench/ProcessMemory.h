#pragma once
// The memory a process holds, as the system counts it.

#include <QByteArray>
#include <QFile>
#include <QString>

namespace bench {

// A field of /proc/PID/status ("VmRSS", "VmHWM") in MiB; -1 when it cannot be read.
inline double ProcessMib(qint64 pid, const char* field) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (pid <= 0 || !status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return -1;
}

} // namespace bench
