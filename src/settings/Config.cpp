#include "settings/Config.h"

#include <QDir>
#include <QFileInfo>

namespace {

// Why a settings file cannot be written, as plainly as the file system tells.
QString WhyNotWritable(const QString& fileName) {
    const QFileInfo file(fileName);
    if (file.isDir())
        return QStringLiteral("the name is a folder");
    QString folder = file.absolutePath();
    while (!QFileInfo::exists(folder) && QFileInfo(folder).absolutePath() != folder)
        folder = QFileInfo(folder).absolutePath();
    if (!QFileInfo(folder).isDir())
        return QStringLiteral("\"%1\" is a file, not a folder")
            .arg(QDir::toNativeSeparators(folder));
    if (file.exists() && !file.isWritable())
        return QStringLiteral("the file is read-only");
    if (!QFileInfo(folder).isWritable())
        return QStringLiteral("the folder \"%1\" is not writable")
            .arg(QDir::toNativeSeparators(folder));
    return QStringLiteral("the disk may be full or the file system read-only");
}

} // namespace

bool ConfigSection::KeyExists(const QString& key) const {
    return store_->contains(Path(key));
}

QString ConfigSection::ReadValue(const QString& key, const QString& defaultValue) const {
    return store_->value(Path(key), defaultValue).toString();
}

void ConfigSection::WriteValue(const QString& key, const QString& value) {
    store_->setValue(Path(key), value);
}

Config::Config() = default;
Config::~Config() = default;

QSettings& Config::Store() {
    if (!store_)
        Load();
    return *store_;
}

void Config::Load() {
    // A fresh QSettings object reads the file as it is now, whatever another run or another
    // settings object wrote since. A damaged file yields what can be read of it.
    store_ = std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope,
                                         applicationName_, programName_);
    addedSections_.clear();
}

bool Config::SectionExists(const QString& section) {
    QSettings& store = Store();
    return addedSections_.contains(section) || store.childGroups().contains(section);
}

std::unique_ptr<ConfigSection> Config::GetSection(const QString& section) {
    if (!SectionExists(section))
        throw ComponentError(QStringLiteral("The settings hold no section '%1'.").arg(section));
    return std::make_unique<ConfigSection>(&Store(), section);
}

std::unique_ptr<ConfigSection> Config::AddSection(const QString& section) {
    QSettings& store = Store();
    if (!addedSections_.contains(section))
        addedSections_.append(section);
    return std::make_unique<ConfigSection>(&store, section);
}

void Config::Save() {
    QSettings& store = Store();
    store.sync();
    // QSettings names its file with "/" on every system; the user reads it as the system
    // writes it.
    if (store.status() == QSettings::AccessError)
        throw ComponentError(
            QStringLiteral("The settings could not be saved to \"%1\": %2.")
                .arg(QDir::toNativeSeparators(store.fileName()), WhyNotWritable(store.fileName())));
}

QString Config::FileName() const {
    return store_ ? store_->fileName() : QString();
}
