#include "model/TagItems.h"

#include "component/Component.h"
#include "model/Numeric.h"
#include "model/VariantNumber.h"

#include <QLocale>

#include <cmath>
#include <limits>

namespace {

// The position a variant names: a number, or text that reads as one, rounded halves to even
// and limited to 16 bits. Anything else would be a key, and the collection holds no keys.
qint32 PositionOf(const QVariant& vntIndexKey) {
    const std::optional<double> value = variantnumber::NumberOf(vntIndexKey);
    if (!value || std::isnan(*value))
        throw ComponentError(
            QStringLiteral("TagItems: no record with the key \"%1\"").arg(vntIndexKey.toString()));
    const double rounded = numeric::RoundHalfEven(*value);
    if (rounded < std::numeric_limits<qint16>::min() ||
        rounded > std::numeric_limits<qint16>::max())
        throw ComponentError(
            QStringLiteral("TagItems: overflow: position %1 does not fit 16 bits")
                .arg(QString::number(*value, 'g', QLocale::FloatingPointShortest)));
    return static_cast<qint32>(rounded);
}

[[noreturn]] void ThrowOutOfRange(qint64 position, qsizetype count) {
    throw ComponentError(
        QStringLiteral("TagItems: position %1 is outside 1..%2").arg(position).arg(count));
}

} // namespace

void TagItems::Clear() {
    // A new, empty inner collection; records still held elsewhere stay alive.
    std::vector<Ptr>().swap(items_);
}

TagItems::Ptr TagItems::Add(const QString& name) {
    auto item = std::make_shared<TagItem>();
    item->SetName(name);
    items_.push_back(item);
    return item;
}

size_t TagItems::IndexOf(const QVariant& vntIndexKey) const {
    const qint32 position = PositionOf(vntIndexKey);
    if (position < 1 || size_t(position) > items_.size())
        ThrowOutOfRange(position, qsizetype(items_.size()));
    return size_t(position - 1);
}

TagItems::Ptr TagItems::Item(const QVariant& vntIndexKey) const {
    return items_[IndexOf(vntIndexKey)];
}

TagItem& TagItems::At(qint32 position) const {
    if (position < 1 || size_t(position) > items_.size())
        ThrowOutOfRange(position, qsizetype(items_.size()));
    return *items_[size_t(position - 1)];
}

void TagItems::Remove(const QVariant& vntIndexKey) {
    items_.erase(items_.begin() + std::ptrdiff_t(IndexOf(vntIndexKey)));
}
