#include "base/Log.h"

#include <QByteArray>
#include <QStringList>

#include <cstdio>
#include <mutex>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace logging {

namespace {

struct State {
    std::mutex mutex;
    QString program;
    bool quiet = false;
    Sink sink;
    int journal = -1; // -1: not yet known
};

State& Shared() {
    static State state;
    return state;
}

} // namespace

bool IsJournal(int fd) {
#ifdef Q_OS_UNIX
    // "device:inode" of the stream the journal gave us; the descriptor must still be it (a
    // service may send it elsewhere itself).
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const qsizetype colon = stream.indexOf(':');
    if (colon <= 0)
        return false;
    bool deviceOk = false;
    bool inodeOk = false;
    const qulonglong device = stream.left(colon).toULongLong(&deviceOk);
    const qulonglong inode = stream.mid(colon + 1).toULongLong(&inodeOk);
    struct stat info {};
    return deviceOk && inodeOk && ::fstat(fd, &info) == 0 && qulonglong(info.st_dev) == device &&
           qulonglong(info.st_ino) == inode;
#else
    Q_UNUSED(fd);
    return false;
#endif
}

void SetProgram(const QString& name) {
    std::lock_guard lock(Shared().mutex);
    Shared().program = name;
}

void SetQuiet(bool quiet) {
    std::lock_guard lock(Shared().mutex);
    Shared().quiet = quiet;
}

bool Quiet() {
    std::lock_guard lock(Shared().mutex);
    return Shared().quiet;
}

void SetSink(Sink sink) {
    std::lock_guard lock(Shared().mutex);
    Shared().sink = std::move(sink);
}

bool ToJournal() {
    State& state = Shared();
    std::lock_guard lock(state.mutex);
    if (state.journal < 0)
        state.journal = IsJournal(2) ? 1 : 0;
    return state.journal == 1;
}

void Write(Level level, const QString& text) {
    const bool journal = ToJournal();
    State& state = Shared();
    std::lock_guard lock(state.mutex);
    if (level == Level::Info && state.quiet)
        return;
    if (state.sink) {
        state.sink(level, text);
        return;
    }
    QByteArray prefix;
    if (journal)
        prefix = '<' + QByteArray::number(3 + int(level)) + '>';
    if (!state.program.isEmpty())
        prefix += state.program.toLocal8Bit() + ": ";
    QByteArray out;
    for (const QString& line : text.split(QLatin1Char('\n')))
        out += prefix + line.toLocal8Bit() + '\n';
    std::fwrite(out.constData(), 1, size_t(out.size()), stderr);
    std::fflush(stderr);
}

} // namespace logging
