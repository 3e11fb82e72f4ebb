#include "generate/ToolObject.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>

QString ToolObject::SVInstallDir(const QString& /*productCode*/) {
    // The stand-in installation is the program's own folder, whatever the product.
    return QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
}

QString ToolObject::GetUniqueFilename(const QString& prefix) {
    if (prefix.contains(QLatin1Char('/')) || prefix.contains(QLatin1Char('\\')))
        throw ComponentError(
            QStringLiteral("GetUniqueFilename: the prefix \"%1\" must not hold a folder separator.")
                .arg(prefix));
    const QDir temp(QDir::tempPath());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString name = prefix + QString::number(QRandomGenerator::global()->generate64(), 16)
                                          .rightJustified(16, QLatin1Char('0'))
                                          .toUpper();
        // Compare names directly instead of with a wildcard filter, so that a prefix holding
        // "*", "?" or "[" cannot hide an existing file.
        const QString dotted = name + QLatin1Char('.');
        bool used = false;
        QDirIterator it(temp.path(),
                        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        while (!used && it.hasNext()) {
            it.next();
            const QString entry = it.fileName();
            used = entry == name || entry.startsWith(dotted);
        }
        if (!used)
            return QDir::toNativeSeparators(temp.filePath(name));
    }
    throw ComponentError(
        QStringLiteral("GetUniqueFilename: no unused name found in \"%1\".").arg(temp.path()));
}

ToolObject::CommandLine ToolObject::SplitCommandLine(const QString& commandLine) {
    static const QLatin1String Exe(".exe");
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = commandLine.indexOf(Exe, from, Qt::CaseInsensitive);
        if (at < 0)
            throw ComponentError(
                QStringLiteral("Cannot start a program: the command line \"%1\" names no "
                               "\".exe\" program.")
                    .arg(commandLine));
        const qsizetype end = at + Exe.size();
        if (end == commandLine.size())
            return {commandLine, std::nullopt};
        if (commandLine[end] == QLatin1Char(' ')) {
            CommandLine result{commandLine.left(end), commandLine.mid(end + 1)};
            if (result.argument->isEmpty())
                result.argument.reset();
            return result;
        }
        // ".exe" inside a longer name (".exec", "x.exe.d/"): look further.
        from = at + 1;
    }
}

void ToolObject::ShellAndWait(const QString& commandLine) {
    const CommandLine parts = SplitCommandLine(commandLine);

    QString program = QDir::fromNativeSeparators(parts.program);
    if (QFileInfo(program).isRelative())
        program = QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(program);
    const QFileInfo info(program);
    const auto fail = [&parts](const QString& reason) {
        throw ComponentError(QStringLiteral("Cannot start \"%1\": %2").arg(parts.program, reason));
    };
    if (!info.exists())
        fail(QStringLiteral("the program does not exist."));
    if (info.isDir() || !info.isExecutable())
        fail(QStringLiteral("it is not an executable program."));

    QProcess process;
    process.setProgram(info.absoluteFilePath());
    if (parts.argument)
        process.setArguments({*parts.argument});
    // The program's output goes where ours goes, so that no unread pipe can block it.
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.setInputChannelMode(QProcess::ForwardedInputChannel);
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(-1))
        fail(QStringLiteral("%1.").arg(process.errorString()));
    // Blocks this thread until the program ends, however long the user works in it: the
    // caller hides its window meanwhile, and a local event loop here would let its timers
    // and queued clicks run in the middle of the click that started the program.
    process.waitForFinished(-1);
}
