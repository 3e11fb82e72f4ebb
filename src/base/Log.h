#pragma once
// The one logger of the command-line programs and the viewers: one line per event on standard
// error, "program: text", with a level. A program that runs as a service (standard error goes
// to the journal) prefixes each line with the journal's priority ("<3>" ... "<6>"), so that
// `journalctl -p warning` picks out what matters.

#include <QString>

#include <functional>

namespace logging {

// From the most to the least urgent; the journal's priorities 3 to 6.
enum class Level { Error, Warning, Notice, Info };

// The name put before every line ("svcorblex-hub"); empty: no name.
void SetProgram(const QString& name);
// Quiet: lines of level Info are dropped; every other level is always written.
void SetQuiet(bool quiet);
bool Quiet();

// Where lines go instead of standard error (tests); an empty function restores it. The
// function gets the line without the program name or priority prefix.
using Sink = std::function<void(Level, const QString&)>;
void SetSink(Sink sink);

// Writes one line; a text holding line breaks is written as several, each with the prefix.
void Write(Level level, const QString& text);
inline void Error(const QString& text) {
    Write(Level::Error, text);
}
inline void Warning(const QString& text) {
    Write(Level::Warning, text);
}
inline void Notice(const QString& text) {
    Write(Level::Notice, text);
}
inline void Info(const QString& text) {
    Write(Level::Info, text);
}

// True when standard error is the journal's stream (systemd sets JOURNAL_STREAM to its device
// and inode).
bool ToJournal();
// The same for any open file descriptor (standard output: 1).
bool IsJournal(int fd);

} // namespace logging
