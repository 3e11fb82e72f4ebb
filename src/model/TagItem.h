#pragma once
// One hub tag and the properties sampling works out for it. A plain record.

#include <QString>
#include <QStringView>

class TagItem {
public:
    const QString& Name() const { return name_; }
    void SetName(const QString& v) { name_ = v; }

    const QString& Variable() const { return variable_; }
    void SetVariable(const QString& v) { variable_ = v; }

    const QString& FieldType() const { return fieldType_; }
    void SetFieldType(const QString& v) { fieldType_ = v; }

    qint32 Length() const { return length_; }
    void SetLength(qint32 v) { length_ = v; }

    qint32 Decimals() const { return decimals_; }
    void SetDecimals(qint32 v) { decimals_ = v; }

    qint32 Integers() const { return integers_; }
    void SetIntegers(qint32 v) { integers_ = v; }

    const QString& Value() const { return value_; }
    void SetValue(const QString& v) { value_ = v; }
    // Sampling rewrites every value on every pass: the text is copied into the storage the
    // value already has when it is not shared and is large enough, so that a pass allocates
    // nothing and the values stay where the first pass put them, in tag order.
    void SetValue(QStringView v);

    bool Selected() const { return selected_; }
    void SetSelected(bool v) { selected_ = v; }

private:
    QString name_;
    QString variable_;
    QString fieldType_;
    qint32 length_ = 0;
    qint32 decimals_ = 0;
    qint32 integers_ = 0;
    QString value_;
    bool selected_ = false;
};
