#pragma once
// The .SVT text format of the application model: writing, reading and the escape scheme of
// its values. docs/svt-format.md describes the format for authors of other readers.

#include <QByteArray>
#include <QString>
#include <QStringView>

class Application;

namespace svt {

inline constexpr int FormatVersion = 1;

// The largest .SVT file a reader takes, 512 MiB. The largest application the product supports,
// 1,000,000 variables, makes a file of about 140 MB with the benchmark's names and about
// 230 MB with tag names as long as a hub's answer allows; anything larger is not an
// application but a wrong or hostile file, refused before it fills the memory.
inline constexpr qint64 MaxFileBytes = qint64(512) * 1024 * 1024;

// Appends value to out with backslash escapes, so that the result holds no line break, no
// control character and no blank at either end.
void AppendEscaped(QString& out, QStringView value);
QString Escape(QStringView value);

// Reverses AppendEscaped. On a malformed escape returns false and sets *error to a plain
// description of the fault.
bool Unescape(QStringView text, QString& out, QString* error);

// The complete .SVT text of app, UTF-8 encoded. Deterministic: no time stamps.
QByteArray Write(const Application& app);

// Parses .SVT text. Throws ComponentError "Cannot read "<sourceName>": line N: ..." when the
// text is malformed, of an unknown version, or truncated (no end marker).
Application Read(const QByteArray& text, const QString& sourceName);

} // namespace svt
