#pragma once
// The settings library: named sections of text keys, kept in an INI file of the user's
// scope chosen by the application name and the program name. Load re-reads the file; Save
// writes it and reports a failure as ComponentError.

#include "component/Component.h"

#include <QSettings>
#include <QString>
#include <memory>

inline constexpr auto ConfigClassName = "SVAppConfig60.Config";

class ConfigSection {
public:
    ConfigSection(QSettings* store, QString name) : store_(store), name_(std::move(name)) {}
    virtual ~ConfigSection() = default;
    virtual bool KeyExists(const QString& key) const;
    virtual QString ReadValue(const QString& key, const QString& defaultValue) const;
    virtual void WriteValue(const QString& key, const QString& value);
    const QString& Name() const { return name_; }

private:
    QString Path(const QString& key) const { return name_ + QLatin1Char('/') + key; }
    QSettings* store_;
    QString name_;
};

class Config : public ComponentBase {
public:
    Config();
    ~Config() override;

    virtual void SetApplicationName(const QString& name) { applicationName_ = name; }
    virtual void SetProgramName(const QString& name) { programName_ = name; }
    const QString& ProgramName() const { return programName_; }

    virtual void Load();
    virtual bool SectionExists(const QString& section);
    virtual std::unique_ptr<ConfigSection> GetSection(const QString& section);
    virtual std::unique_ptr<ConfigSection> AddSection(const QString& section);
    virtual void Save();
    // The file the store lives in (for messages).
    QString FileName() const;

protected:
    // The store as last loaded (loaded now if it never was).
    QSettings& Store();

private:
    QString applicationName_;
    QString programName_;
    std::unique_ptr<QSettings> store_;
    // Sections added since the last Save that hold no key yet; an INI file cannot hold an
    // empty section, so they exist only in memory until a key is written.
    QStringList addedSections_;
};
