#pragma once
// The ordered, unkeyed collection of the tags of one connection, addressed by 1-based
// position in the hub's order. Records are shared: one handed out stays valid while anybody
// holds it, even after the collection is cleared or destroyed.

#include "model/TagItem.h"

#include <QVariant>
#include <memory>
#include <vector>

class TagItems {
public:
    using Ptr = std::shared_ptr<TagItem>;

    void Clear();
    // Creates a record with that name, appends it and returns it.
    Ptr Add(const QString& name);
    // The record at a position given as a variant: a number or numeric text, converted to a
    // 16-bit whole number (halves to even). Throws ComponentError for a position outside
    // 1..Count, a non-numeric argument, or a position that does not fit 16 bits.
    Ptr Item(const QVariant& vntIndexKey) const;
    // The record at a 1-based position, without the 16-bit limit; throws ComponentError when
    // the position is outside 1..Count. This is what the program's loops use.
    TagItem& At(qint32 position) const;
    qint32 Count() const { return static_cast<qint32>(items_.size()); }
    void Remove(const QVariant& vntIndexKey);

    // For-each iteration in order.
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

    void Reserve(qint32 n) { items_.reserve(static_cast<size_t>(n)); }

private:
    size_t IndexOf(const QVariant& vntIndexKey) const;
    std::vector<Ptr> items_;
};
