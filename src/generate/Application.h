#pragma once
// The application model: one Solvane application (set-up value, title and its variables in
// order) held in memory and saved as a .SVT file (see docs/svt-format.md).

#include "generate/IApplication.h"
#include "generate/SaveFile.h"

#include <QByteArray>
#include <QString>
#include <deque>
#include <optional>

// One variable of an application. Link and code are optional: "not set" (the Date and Time
// variables) is kept apart from an empty text.
class ApplicationVariable : public IVariable {
public:
    ApplicationVariable(const QString& name, const QString& fieldType, qint16 length,
                        qint16 decimals)
        : name_(name), fieldType_(fieldType), length_(length), decimals_(decimals) {}

    void SetLink(const QString& link) override { link_ = link; }
    void SetCode(const QString& code) override { code_ = code; }

    const QString& Name() const { return name_; }
    const QString& FieldType() const { return fieldType_; }
    qint16 Length() const { return length_; }
    qint16 Decimals() const { return decimals_; }
    const std::optional<QString>& Link() const { return link_; }
    const std::optional<QString>& Code() const { return code_; }

    bool operator==(const ApplicationVariable& other) const {
        return name_ == other.name_ && fieldType_ == other.fieldType_ && length_ == other.length_ &&
               decimals_ == other.decimals_ && link_ == other.link_ && code_ == other.code_;
    }

private:
    QString name_;
    QString fieldType_;
    qint16 length_;
    qint16 decimals_;
    std::optional<QString> link_;
    std::optional<QString> code_;
};

class Application : public IApplication, private IVariables {
public:
    Application() = default;
    // Saves go through the devices that makeDevice creates (see savefile::Replace).
    explicit Application(savefile::DeviceFactory makeDevice) : makeDevice_(std::move(makeDevice)) {}

    // IApplication
    void SetUp(int value) override { setUp_ = value; }
    void SetTitle(const QString& title) override { title_ = title; }
    IVariables& GetVariables() override { return *this; }
    // Replaces fileName as a whole (savefile::Replace). Throws ComponentError naming the file
    // and the reason; on failure an earlier file of that name keeps its bytes and no
    // temporary file is left behind.
    void SaveToFile(const QString& fileName) override;
    // Releases the application's contents: afterwards the object is empty, as if new.
    void CloseApplication() override;

    // IVariables: the returned reference stays valid until the application is closed or
    // destroyed (variables are never moved once added).
    IVariable& AddVariable(const QString& name, const QString& fieldType, qint16 length,
                           qint16 decimals) override;

    int SetUpValue() const { return setUp_; }
    const QString& Title() const { return title_; }
    const std::deque<ApplicationVariable>& Variables() const { return variables_; }

    bool operator==(const Application& other) const {
        return setUp_ == other.setUp_ && title_ == other.title_ && variables_ == other.variables_;
    }

    // The .SVT text of this application; the same application always gives the same bytes.
    QByteArray ToSvt() const;
    // Parses .SVT text; sourceName names the file in error messages. Throws ComponentError
    // with the line number and what was expected when the text is malformed or truncated.
    static Application FromSvt(const QByteArray& text, const QString& sourceName);
    // Reads and parses a .SVT file. Throws ComponentError naming the file and the reason.
    static Application LoadFromFile(const QString& fileName);

private:
    int setUp_ = 0;
    QString title_;
    std::deque<ApplicationVariable> variables_;
    savefile::DeviceFactory makeDevice_;
};
