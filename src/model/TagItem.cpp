#include "model/TagItem.h"

#include <algorithm>
#include <cstring>

void TagItem::SetValue(QStringView v) {
    const qsizetype n = v.size();
    if (value_.isDetached() && value_.capacity() >= n) {
        value_.resize(n); // keeps the storage
        if (n > 0)
            std::memmove(value_.data(), v.data(), size_t(n) * sizeof(QChar));
        return;
    }
    // A little room to spare: most values move by a digit now and then, and the heap hands
    // out blocks of this size anyway.
    constexpr qsizetype Spare = 12;
    QString fresh;
    fresh.reserve(std::max(n, Spare));
    fresh.append(v);
    value_ = std::move(fresh);
}
