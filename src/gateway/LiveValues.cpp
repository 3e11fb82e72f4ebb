#include "gateway/LiveValues.h"

namespace gateway {

void LiveValues::Reset(std::vector<qint64> staleMs) {
    staleMs_ = std::move(staleMs);
    values_.assign(staleMs_.size(), QByteArray());
    receivedMs_.assign(staleMs_.size(), 0);
    totalBytes_ = 0;
}

void LiveValues::Set(qsizetype slot, QByteArray value) {
    if (slot < 0 || slot >= Count())
        return;
    QByteArray& old = values_[size_t(slot)];
    totalBytes_ += value.size() - old.size();
    old = std::move(value);
    receivedMs_[size_t(slot)] = clock_.elapsed();
}

const QByteArray& LiveValues::Current(qsizetype slot) const {
    static const QByteArray none;
    if (slot < 0 || slot >= Count())
        return none;
    const qint64 stale = staleMs_[size_t(slot)];
    if (stale > 0 && clock_.elapsed() - receivedMs_[size_t(slot)] > stale)
        return none;
    return values_[size_t(slot)];
}

} // namespace gateway
