#include "gateway/LiveValues.h"

namespace gateway {

QLatin1StringView QualityWord(Quality quality) {
    switch (quality) {
    case Quality::Good:
        return QLatin1StringView("good");
    case Quality::Stale:
        return QLatin1StringView("stale");
    case Quality::Offline:
        return QLatin1StringView("offline");
    case Quality::Refused:
        return QLatin1StringView("refused");
    case Quality::Invalid:
        return QLatin1StringView("invalid");
    case Quality::Waiting:
        break;
    }
    return QLatin1StringView("waiting");
}

void LiveValues::Reset(std::vector<qint64> staleMs) {
    staleMs_ = std::move(staleMs);
    values_.assign(staleMs_.size(), QByteArray());
    receivedMs_.assign(staleMs_.size(), 0);
    quality_.assign(staleMs_.size(), Quality::Waiting);
    totalBytes_ = 0;
}

void LiveValues::Remap(const std::vector<qsizetype>& from, std::vector<qint64> staleMs) {
    std::vector<QByteArray> values(staleMs.size());
    std::vector<qint64> receivedMs(staleMs.size(), 0);
    std::vector<Quality> quality(staleMs.size(), Quality::Waiting);
    totalBytes_ = 0;
    for (size_t i = 0; i < staleMs.size() && i < from.size(); ++i) {
        const qsizetype old = from[i];
        if (old < 0 || old >= Count())
            continue;
        values[i] = values_[size_t(old)];
        receivedMs[i] = receivedMs_[size_t(old)];
        quality[i] = quality_[size_t(old)];
        totalBytes_ += values[i].size();
    }
    values_ = std::move(values);
    receivedMs_ = std::move(receivedMs);
    quality_ = std::move(quality);
    staleMs_ = std::move(staleMs);
}

qsizetype LiveValues::Add(qint64 staleMs) {
    staleMs_.push_back(staleMs);
    values_.emplace_back();
    receivedMs_.push_back(0);
    quality_.push_back(Quality::Waiting);
    return Count() - 1;
}

void LiveValues::Set(qsizetype slot, QByteArray value) {
    Store(slot, std::move(value), Quality::Good);
}

void LiveValues::Fail(qsizetype slot, Quality why) {
    Store(slot, QByteArray(),
          why == Quality::Good || why == Quality::Stale ? Quality::Invalid : why);
}

void LiveValues::Store(qsizetype slot, QByteArray value, Quality quality) {
    if (slot < 0 || slot >= Count())
        return;
    QByteArray& old = values_[size_t(slot)];
    totalBytes_ += value.size() - old.size();
    old = std::move(value);
    receivedMs_[size_t(slot)] = clock_.elapsed();
    quality_[size_t(slot)] = quality;
}

Quality LiveValues::QualityOf(qsizetype slot) const {
    if (slot < 0 || slot >= Count())
        return Quality::Waiting;
    const Quality quality = quality_[size_t(slot)];
    const qint64 stale = staleMs_[size_t(slot)];
    if (quality == Quality::Good && stale > 0 &&
        clock_.elapsed() - receivedMs_[size_t(slot)] > stale)
        return Quality::Stale;
    return quality;
}

const QByteArray& LiveValues::Current(qsizetype slot) const {
    static const QByteArray none;
    return QualityOf(slot) == Quality::Good ? values_[size_t(slot)] : none;
}

} // namespace gateway
