#pragma once
// Points the system's temporary folder at `folder` for as long as it lives: TMPDIR on Unix,
// TMP and TEMP on Windows (which reads TMP first). Variables that were unset are unset again.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <array>
#include <optional>
#include <utility>

class TempFolderOverride {
public:
    explicit TempFolderOverride(const QString& folder) {
        for (auto& [name, value] : saved_) {
            if (qEnvironmentVariableIsSet(name))
                value = qgetenv(name);
            qputenv(name, QFile::encodeName(QDir::toNativeSeparators(folder)));
        }
    }
    ~TempFolderOverride() {
        for (const auto& [name, value] : saved_) {
            if (value)
                qputenv(name, *value);
            else
                qunsetenv(name);
        }
    }
    TempFolderOverride(const TempFolderOverride&) = delete;
    TempFolderOverride& operator=(const TempFolderOverride&) = delete;

private:
    std::array<std::pair<const char*, std::optional<QByteArray>>, 3> saved_{
        {{"TMPDIR", {}}, {"TMP", {}}, {"TEMP", {}}}};
};
