#include "model/TagItems.h"

#include "component/Component.h"

TagItems::Ptr TagItems::Add(const QString& name) {
    auto item = std::make_shared<TagItem>();
    item->SetName(name);
    items_.push_back(item);
    return item;
}

TagItem& TagItems::At(qint32 position) const {
    if (position < 1 || size_t(position) > items_.size())
        throw ComponentError(QStringLiteral("TagItems: position %1 is outside 1..%2")
                                 .arg(position)
                                 .arg(items_.size()));
    return *items_[size_t(position - 1)];
}
