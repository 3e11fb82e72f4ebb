#include "gateway/ModbusPlan.h"

#include "gateway/WireText.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <iterator>
#include <limits>

namespace gateway {

bool IsBitTable(ModbusTable table) {
    return table == ModbusTable::Coil || table == ModbusTable::DiscreteInput;
}

std::vector<ModbusRead> PlanModbusReads(const std::vector<ModbusTag>& tags, int maxGap) {
    std::vector<size_t> order(tags.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&tags](size_t a, size_t b) {
        if (tags[a].unit != tags[b].unit)
            return tags[a].unit < tags[b].unit;
        if (tags[a].table != tags[b].table)
            return tags[a].table < tags[b].table;
        return tags[a].address < tags[b].address;
    });
    std::vector<ModbusRead> reads;
    for (size_t index : order) {
        const ModbusTag& tag = tags[index];
        const int end = tag.address + ModbusWidth(tag);
        const int limit = IsBitTable(tag.table) ? MaxReadBits : MaxReadRegisters;
        if (!reads.empty()) {
            ModbusRead& last = reads.back();
            const int lastEnd = last.start + last.count;
            if (last.unit == tag.unit && last.table == tag.table &&
                tag.address - lastEnd <= maxGap && std::max(lastEnd, end) - last.start <= limit) {
                last.count = std::max(lastEnd, end) - last.start;
                last.tags.push_back(index);
                continue;
            }
        }
        reads.push_back({tag.unit, tag.table, tag.address, end - tag.address, {index}});
    }
    return reads;
}

int UnusedAddresses(const ModbusRead& read, const std::vector<ModbusTag>& tags) {
    // The tags' spans in address order; what lies between them is unused.
    std::vector<std::pair<int, int>> spans;
    spans.reserve(read.tags.size());
    for (size_t t : read.tags)
        spans.emplace_back(tags[t].address, tags[t].address + ModbusWidth(tags[t]));
    std::sort(spans.begin(), spans.end());
    int unused = 0;
    int covered = read.start;
    for (const auto& [from, to] : spans) {
        unused += std::max(0, std::min(from, read.start + read.count) - covered);
        covered = std::max(covered, to);
    }
    return unused + std::max(0, read.start + read.count - covered);
}

QString ModbusTableText(ModbusTable table) {
    switch (table) {
    case ModbusTable::Coil:
        return QStringLiteral("coils");
    case ModbusTable::DiscreteInput:
        return QStringLiteral("discrete inputs");
    case ModbusTable::InputRegister:
        return QStringLiteral("input registers");
    case ModbusTable::HoldingRegister:
        return QStringLiteral("holding registers");
    }
    return QString();
}

QString ModbusExceptionText(int code) {
    static const char* const meanings[] = {nullptr,
                                           "illegal function",
                                           "illegal data address",
                                           "illegal data value",
                                           "server device failure",
                                           "acknowledge",
                                           "server device busy",
                                           "negative acknowledge",
                                           "memory parity error",
                                           nullptr,
                                           "gateway path unavailable",
                                           "gateway target device failed to respond"};
    const char* meaning = code >= 0 && code < int(std::size(meanings)) ? meanings[code] : nullptr;
    return QStringLiteral("exception %1, %2")
        .arg(QString::number(code, 16).toUpper().rightJustified(2, QLatin1Char('0')))
        .arg(QLatin1String(meaning ? meaning : "an exception the protocol does not define"));
}

namespace {

// The decimal number that `digits` nibbles of `bits` hold, most significant first; NaN when
// one of them is above 9.
long double Bcd(quint64 bits, int digits) {
    long double value = 0;
    for (int i = digits - 1; i >= 0; --i) {
        const int digit = int((bits >> (4 * i)) & 0xF);
        if (digit > 9)
            return std::numeric_limits<long double>::quiet_NaN();
        value = value * 10 + digit;
    }
    return value;
}

// An IEEE 754 half-precision number: 1 sign bit, 5 exponent bits, 10 fraction bits.
long double Half(quint16 bits) {
    const int exponent = (bits >> 10) & 0x1F;
    const int fraction = bits & 0x3FF;
    long double magnitude;
    if (exponent == 0)
        magnitude = std::ldexp(static_cast<long double>(fraction), -24); // subnormal
    else if (exponent == 0x1F)
        magnitude = fraction ? std::numeric_limits<long double>::quiet_NaN()
                             : std::numeric_limits<long double>::infinity();
    else
        magnitude = std::ldexp(static_cast<long double>(fraction | 0x400), exponent - 25);
    return bits & 0x8000 ? -magnitude : magnitude;
}

} // namespace

long double DecodeRegisters(const quint16* words, ModbusType type, WordOrder order) {
    if (type == ModbusType::Bool)
        return words[0] ? 1 : 0;
    if (type == ModbusType::String)
        return 0;
    const int width = ModbusWidth(type);
    quint16 w[4] = {};
    for (int i = 0; i < width; ++i) {
        quint16 word = words[i];
        // BADC and DCBA hold the low byte of each pair first.
        if (order == WordOrder::BADC || order == WordOrder::DCBA)
            word = quint16((word << 8) | (word >> 8));
        // CDAB and DCBA hold the least significant register first.
        const bool lowFirst = order == WordOrder::CDAB || order == WordOrder::DCBA;
        w[lowFirst ? width - 1 - i : i] = word;
    }
    quint64 bits = 0;
    for (int i = 0; i < width; ++i)
        bits = (bits << 16) | w[i];
    switch (type) {
    case ModbusType::Bool:
    case ModbusType::Uint16:
        return quint16(bits);
    case ModbusType::Int16:
        return qint16(quint16(bits));
    case ModbusType::Uint32:
        return quint32(bits);
    case ModbusType::Int32:
        return qint32(quint32(bits));
    case ModbusType::Float32:
        return std::bit_cast<float>(quint32(bits));
    case ModbusType::Int64:
        return qint64(bits);
    case ModbusType::Float64:
        return std::bit_cast<double>(bits);
    case ModbusType::Float16:
        return Half(quint16(bits));
    case ModbusType::Bcd16:
        return Bcd(bits, 4);
    case ModbusType::Bcd32:
        return Bcd(bits, 8);
    case ModbusType::String:
        break;
    }
    return 0;
}

QByteArray ModbusValueText(const ModbusTag& tag, long double raw) {
    if (tag.scale == 1 && tag.offset == 0)
        return FormatNumber(raw, tag.decimals);
    return FormatNumber(raw * tag.scale + tag.offset, tag.decimals);
}

std::optional<QByteArray> ModbusTagText(const ModbusTag& tag, const quint16* words) {
    if (tag.type == ModbusType::String) {
        QByteArray bytes;
        bytes.reserve(tag.length);
        const bool lowFirst = tag.order == WordOrder::BADC || tag.order == WordOrder::DCBA;
        for (int i = 0; i < tag.length; ++i) {
            const quint16 word = words[i / 2];
            const bool high = (i % 2 == 0) != lowFirst;
            bytes += char(high ? word >> 8 : word & 0xFF);
        }
        // NULs and control characters become blanks; the padding at the end goes.
        QByteArray text = CleanText(bytes);
        qsizetype end = text.size();
        while (end > 0 && text[end - 1] == ' ')
            --end;
        text.truncate(end);
        return text;
    }
    long double raw = DecodeRegisters(words, tag.type, tag.order);
    if (tag.bit >= 0)
        raw = (quint16(raw) >> tag.bit) & 1;
    QByteArray text = ModbusValueText(tag, raw);
    if (text.isEmpty())
        return std::nullopt;
    return text;
}

} // namespace gateway
