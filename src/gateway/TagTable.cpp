#include "gateway/TagTable.h"

#include "gateway/LiveValues.h"
#include "gateway/NumberText.h"

#include <cmath>
#include <cstring>
#include <numbers>
#include <thread>

namespace gateway {

namespace {

quint64 Mix(quint64 x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A reproducible number in [0, 1) for (seed, tag, slot).
double Unit(quint64 seed, qsizetype tag, qint64 slot, quint64 salt = 0) {
    const quint64 h =
        Mix(seed ^ Mix(quint64(tag) * 0x100000001B3ull + salt) ^ Mix(quint64(slot) + 0x51ED27ull));
    return double(h >> 11) * (1.0 / 9007199254740992.0);
}

} // namespace

void TagTable::SetTags(std::vector<TagDef> tags, quint64 seed) {
    tags_ = std::move(tags);
    names_.reset();
    seed_ = seed;
    phases_.resize(tags_.size());
    tagsAnswer_.clear();
    qsizetype namesSize = 0;
    for (const TagDef& tag : tags_)
        namesSize += tag.name.size() + 1;
    tagsAnswer_.reserve(namesSize);
    valuesBound_ = 0;
    statusBound_ = 0;
    halfBound_ = 0;
    for (qsizetype i = 0; i < Count(); ++i) {
        TagDef& tag = tags_[size_t(i)];
        tag.decimals = std::clamp(tag.decimals, 0, 9);
        if (!(tag.period > 0))
            tag.period = 60;
        phases_[size_t(i)] = 2 * std::numbers::pi * Unit(seed_, i, -1, 7);
        if (i > 0)
            tagsAnswer_.append(',');
        tagsAnswer_.append(tag.name);
        if (i == Count() / 2)
            halfBound_ = valuesBound_;
        valuesBound_ += tag.name.size() + 2 + MaxValueBytes(i);
        statusBound_ += tag.name.size() + 2 + MaxQualityWordBytes;
    }
}

bool TagTable::AppendTag(TagDef tag) {
    if (!names_) {
        names_.emplace();
        names_->reserve(Count() + 1);
        for (const TagDef& known : tags_)
            names_->insert(known.name);
    }
    if (names_->contains(tag.name))
        return false;
    names_->insert(tag.name);
    const qsizetype i = Count();
    tag.decimals = std::clamp(tag.decimals, 0, 9);
    if (!(tag.period > 0))
        tag.period = 60;
    tags_.push_back(std::move(tag));
    phases_.push_back(2 * std::numbers::pi * Unit(seed_, i, -1, 7));
    if (i > 0)
        tagsAnswer_.append(',');
    tagsAnswer_.append(tags_.back().name);
    valuesBound_ += tags_.back().name.size() + 2 + MaxValueBytes(i);
    statusBound_ += tags_.back().name.size() + 2 + MaxQualityWordBytes;
    // The first half grows by one tag with every second tag added.
    const qsizetype half = Count() / 2;
    if (half > i / 2)
        halfBound_ += tags_[size_t(half - 1)].name.size() + 2 + MaxValueBytes(half - 1);
    return true;
}

qsizetype TagTable::MaxValueBytes(qsizetype index) const {
    const TagDef& tag = tags_[size_t(index)];
    switch (tag.kind) {
    case TagDef::Kind::Number:
    case TagDef::Kind::Counter:
        return MaxNumberBytes;
    case TagDef::Kind::State:
    case TagDef::Kind::Text: {
        qsizetype longest = 0;
        for (const QByteArray& state : tag.states)
            longest = std::max(longest, state.size());
        return longest;
    }
    case TagDef::Kind::Live:
        return 0; // counted per answer from LiveValues::TotalBytes()
    }
    return 0;
}

char* TagTable::WriteValue(char* out, qsizetype index, double seconds) const {
    const TagDef& tag = tags_[size_t(index)];
    if (tag.empty > 0 && Unit(seed_, index, qint64(std::floor(seconds)), 3) < tag.empty)
        return out;
    switch (tag.kind) {
    case TagDef::Kind::Number: {
        double value =
            tag.base + tag.amplitude * std::sin(2 * std::numbers::pi * seconds / tag.period +
                                                phases_[size_t(index)]);
        if (tag.noise > 0)
            value += tag.noise * tag.amplitude *
                     (2 * Unit(seed_, index, qint64(std::floor(seconds * 10)), 5) - 1);
        return WriteNumber(out, value, tag.decimals);
    }
    case TagDef::Kind::Counter:
        return WriteNumber(out, std::floor(tag.base + tag.rate * seconds), 0);
    case TagDef::Kind::State: {
        if (tag.states.isEmpty())
            return out;
        const auto slot = qint64(std::floor(seconds / tag.period));
        const auto pick = qsizetype(Unit(seed_, index, slot, 11) * double(tag.states.size()));
        const QByteArray& state = tag.states[std::min(pick, tag.states.size() - 1)];
        std::memcpy(out, state.constData(), size_t(state.size()));
        return out + state.size();
    }
    case TagDef::Kind::Text:
        if (tag.states.isEmpty())
            return out;
        std::memcpy(out, tag.states.front().constData(), size_t(tag.states.front().size()));
        return out + tag.states.front().size();
    case TagDef::Kind::Live: {
        if (!live_)
            return out;
        const QByteArray& value = live_->Current(tag.slot);
        std::memcpy(out, value.constData(), size_t(value.size()));
        return out + value.size();
    }
    }
    return out;
}

TagTable::TagTable() {
    clock_.start();
}

QByteArray TagTable::Answer(const QByteArray& command) const {
    if (command == "GETTAGS")
        return TagsAnswer();
    if (command == "GETVALUES")
        return ValuesAnswer(double(clock_.nsecsElapsed()) / 1e9);
    if (command == "GETSTATUS")
        return StatusAnswer();
    return QByteArray();
}

QByteArray TagTable::Value(qsizetype index, double seconds) const {
    if (tags_[size_t(index)].kind == TagDef::Kind::Live)
        return live_ ? live_->Current(tags_[size_t(index)].slot) : QByteArray();
    QByteArray value(MaxValueBytes(index), Qt::Uninitialized);
    char* end = WriteValue(value.data(), index, seconds);
    value.truncate(end - value.constData());
    return value;
}

char* TagTable::WriteEntries(char* out, qsizetype from, qsizetype to, double seconds) const {
    for (qsizetype i = from; i < to; ++i) {
        if (i > 0)
            *out++ = '\t';
        const QByteArray& name = tags_[size_t(i)].name;
        std::memcpy(out, name.constData(), size_t(name.size()));
        out += name.size();
        *out++ = ',';
        out = WriteValue(out, i, seconds);
    }
    return out;
}

QByteArray TagTable::ValuesAnswer(double seconds) const {
    // One allocation of a known upper bound and plain writes into it: a 100,000-tag answer
    // costs a few milliseconds.
    // Live values change size as they arrive, so each buffer has room for all of them.
    const qsizetype liveBytes = live_ ? live_->TotalBytes() : 0;
    QByteArray answer(valuesBound_ + liveBytes, Qt::Uninitialized);
    char* out = answer.data();
    // A large plant's second half is written on another processor meanwhile, into a buffer
    // of its own that is then appended.
    constexpr qsizetype SplitFrom = 200'000;
    const qsizetype n = Count();
    if (n >= SplitFrom && std::thread::hardware_concurrency() > 1) {
        const qsizetype half = n / 2;
        QByteArray second(valuesBound_ - halfBound_ + liveBytes, Qt::Uninitialized);
        qsizetype secondSize = 0;
        std::thread helper([&] {
            secondSize = WriteEntries(second.data(), half, n, seconds) - second.constData();
        });
        out = WriteEntries(out, 0, half, seconds);
        helper.join();
        std::memcpy(out, second.constData(), size_t(secondSize));
        out += secondSize;
    } else {
        out = WriteEntries(out, 0, n, seconds);
    }
    answer.truncate(out - answer.constData());
    return answer;
}

QByteArray TagTable::StatusAnswer() const {
    // Like GETVALUES: one allocation of a bound known from the tag list, then plain writes.
    QByteArray answer(statusBound_, Qt::Uninitialized);
    char* out = answer.data();
    for (qsizetype i = 0; i < Count(); ++i) {
        const TagDef& tag = tags_[size_t(i)];
        if (i > 0)
            *out++ = '\n';
        std::memcpy(out, tag.name.constData(), size_t(tag.name.size()));
        out += tag.name.size();
        *out++ = ',';
        const Quality quality = tag.kind != TagDef::Kind::Live ? Quality::Good
                                : live_                        ? live_->QualityOf(tag.slot)
                                                               : Quality::Waiting;
        const QLatin1StringView word = QualityWord(quality);
        std::memcpy(out, word.data(), size_t(word.size()));
        out += word.size();
    }
    answer.truncate(out - answer.constData());
    return answer;
}

} // namespace gateway
