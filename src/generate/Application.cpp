#include "generate/Application.h"

#include "generate/SvtFormat.h"

#include <QFile>
#include <QFileInfo>

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
