#pragma once
// The ordered, unkeyed collection of the tags of one connection, addressed by 1-based
// position in the hub's order. Records are shared: one handed out stays valid while anybody
// holds it, even after the collection is destroyed.

#include "model/TagItem.h"

#include <memory>
#include <vector>

class TagItems {
public:
    using Ptr = std::shared_ptr<TagItem>;

    // Creates a record with that name, appends it and returns it.
    Ptr Add(const QString& name);
    // The record at a 1-based position; throws ComponentError when the position is outside
    // 1..Count.
    TagItem& At(qint32 position) const;
    qint32 Count() const { return static_cast<qint32>(items_.size()); }

    // For-each iteration in order.
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

    void Reserve(qint32 n) { items_.reserve(static_cast<size_t>(n)); }

private:
    std::vector<Ptr> items_;
};
