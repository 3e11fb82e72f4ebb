#include "generate/Application.h"

#include "base/ReadFile.h"
#include "generate/SvtFormat.h"

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
    savefile::Replace(fileName, ToSvt(), makeDevice_);
}

Application Application::LoadFromFile(const QString& fileName) {
    const auto fail = [&fileName](const QString& reason) {
        throw ComponentError(QStringLiteral("Cannot read \"%1\": %2").arg(fileName, reason));
    };
    if (fileName.isEmpty())
        fail(QStringLiteral("no file name was given."));
    // Only a regular file of a sane size is read: a FIFO would block the program for good, a
    // device or a huge file would exhaust its memory.
    const fileread::Contents contents = fileread::ReadRegularFile(fileName, svt::MaxFileBytes);
    switch (contents.failure) {
    case fileread::Failure::None:
        break;
    case fileread::Failure::Missing:
        fail(QStringLiteral("the file does not exist."));
        break;
    case fileread::Failure::Folder:
        fail(QStringLiteral("the name is a folder, not a file."));
        break;
    case fileread::Failure::NotRegular:
        fail(QStringLiteral("the name is not a regular file (a pipe, a device or a socket)."));
        break;
    case fileread::Failure::TooLarge:
        fail(QStringLiteral("the file is larger than %1 MiB, far more than any application "
                            "holds.")
                 .arg(svt::MaxFileBytes / (1024 * 1024)));
        break;
    case fileread::Failure::Unreadable:
        fail(QStringLiteral("the file cannot be read (%1).").arg(contents.detail));
        break;
    }
    return svt::Read(contents.data, fileName);
}
