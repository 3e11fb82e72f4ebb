// Fuzzes the pure Modbus logic of the hub: decoding registers (DecodeRegisters,
// ModbusTagText), the published text (ModbusValueText) and the grouping of tags into read
// requests (PlanModbusReads).
//
// Input, all numbers little-endian:
//   byte 0       the value's type (mod 12: bool, int16, uint16, int32, uint32, float32, int64,
//                float64, float16, bcd16, bcd32, string)
//   byte 1       the word order (mod 4: ABCD, DCBA, BADC, CDAB)
//   byte 2       the decimals (mod 10); for a string, its length in bytes (1 + mod 8)
//   byte 3       bit 0: the scale below is used (else 1); bit 1: the offset below (else 0);
//                bit 2: a uint16 tag reads the bit given by bits 4-7 of its register
//   bytes 4-11   four registers as received, 16 bits each
//   bytes 12-19  the scale, a double;  bytes 20-27  the offset, a double
//   bytes 28-29  the device's gap (mod 2000)
//   then 4 bytes per tag (at most 256): table (bits 0-1), type of a register tag (bits 2-5,
//                mod 11, never bool), unit (bit 6), address (bytes 1-2), string length
//                (byte 3, 1 + mod 250); a tag running past address 65535 is left out, as the
//                tag file refuses it
// Missing bytes count as zeros.
//
// Checks:
// - the text is empty or a plain decimal number: an optional "-", digits without a leading
//   zero, and "." with exactly `decimals` digits when decimals > 0; never "-0" or "-0.00"; at
//   most MaxNumberBytes;
// - it is empty exactly when the value is not finite or beyond NumberLimit, and otherwise
//   reads back as the value within half a unit of its last decimal (plus 1e-14 relative, for
//   numbers kept to 15 significant digits); ModbusTagText gives that text, or nothing when it
//   is empty;
// - for bool, integer and BCD types with scale 1 and offset 0, the text is the exact integer
//   of the register bits, computed here from the byte layout independently of the decoder
//   (followed by "." and zeros when that is still exact below 2^53); a BCD value with a digit
//   above 9 gives nothing; a bit of a register is that bit, 0 or 1;
// - float16 is the half-precision number of its 16 bits, computed here from sign, exponent
//   and fraction;
// - a string is clean text (WireText.h) without trailing blanks, and equals its bytes taken
//   in text order (swapped within each register for BADC), cleaned and cut;
// - the planned requests read every tag exactly once, in its own table and unit, within one
//   request of at most 125 registers or 2,000 bits inside the address space; each request
//   starts at a tag and ends with one, no run of unused addresses in it is longer than the
//   gap, and UnusedAddresses counts them.

#include "FuzzSupport.h"
#include "gateway/ModbusPlan.h"
#include "gateway/WireText.h"

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using gateway::ModbusTable;
using gateway::ModbusTag;
using gateway::ModbusType;
using gateway::WordOrder;

// Little-endian reading of the input; bytes past its end are zeros.
struct Reader {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t Byte() { return at < size ? data[at++] : (++at, uint8_t(0)); }
    uint64_t Bits(int bytes) {
        uint64_t value = 0;
        for (int i = 0; i < bytes; ++i)
            value |= uint64_t(Byte()) << (8 * i);
        return value;
    }
    double Double() {
        const uint64_t bits = Bits(8);
        double value;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }
    bool Done() const { return at >= size; }
};

constexpr ModbusType Types[] = {ModbusType::Bool,  ModbusType::Int16,   ModbusType::Uint16,
                                ModbusType::Int32, ModbusType::Uint32,  ModbusType::Float32,
                                ModbusType::Int64, ModbusType::Float64, ModbusType::Float16,
                                ModbusType::Bcd16, ModbusType::Bcd32,   ModbusType::String};
constexpr int TypeCount = int(sizeof Types / sizeof Types[0]);
constexpr WordOrder Orders[] = {WordOrder::ABCD, WordOrder::DCBA, WordOrder::BADC, WordOrder::CDAB};

bool HoldsBits(ModbusTable table) {
    return table == ModbusTable::Coil || table == ModbusTable::DiscreteInput;
}

// The value's bytes, most significant first, from the registers as received: the received
// bytes are r[2i] = high and r[2i+1] = low byte of register i. ABCD takes them as they are,
// DCBA reversed, BADC with each register's two bytes swapped, CDAB with the registers
// reversed.
uint64_t ReferenceBits(const uint16_t* words, int width, WordOrder order) {
    uint8_t received[8];
    for (int i = 0; i < width; ++i) {
        received[2 * i] = uint8_t(words[i] >> 8);
        received[2 * i + 1] = uint8_t(words[i] & 0xFF);
    }
    const int bytes = 2 * width;
    uint64_t bits = 0;
    for (int k = 0; k < bytes; ++k) {
        int from = k;
        switch (order) {
        case WordOrder::ABCD:
            break;
        case WordOrder::DCBA:
            from = bytes - 1 - k;
            break;
        case WordOrder::BADC:
            from = k ^ 1;
            break;
        case WordOrder::CDAB:
            from = bytes - 2 - (k & ~1) + (k & 1);
            break;
        }
        bits = (bits << 8) | received[from];
    }
    return bits;
}

// The integer a bool or integer type stands for, as decimal text; "" for the float types.
std::string ReferenceInteger(const uint16_t* words, ModbusType type, WordOrder order) {
    switch (type) {
    case ModbusType::Bool:
        return words[0] ? "1" : "0";
    case ModbusType::Uint16:
        return std::to_string(ReferenceBits(words, 1, order));
    case ModbusType::Int16: {
        const uint64_t bits = ReferenceBits(words, 1, order);
        return std::to_string(bits >= 0x8000 ? int64_t(bits) - 0x10000 : int64_t(bits));
    }
    case ModbusType::Uint32:
        return std::to_string(ReferenceBits(words, 2, order));
    case ModbusType::Int32: {
        const uint64_t bits = ReferenceBits(words, 2, order);
        return std::to_string(bits >= 0x80000000u ? int64_t(bits) - 0x100000000LL : int64_t(bits));
    }
    case ModbusType::Int64: {
        const uint64_t bits = ReferenceBits(words, 4, order);
        if (bits < (uint64_t(1) << 63))
            return std::to_string(bits);
        // Negative: "-" and the magnitude, computed without overflow.
        return "-" + std::to_string(~bits + 1);
    }
    case ModbusType::Bcd16:
    case ModbusType::Bcd32: {
        // Each nibble a decimal digit, most significant first; "x" when one is above 9.
        const int width = type == ModbusType::Bcd16 ? 1 : 2;
        const uint64_t bits = ReferenceBits(words, width, order);
        uint64_t value = 0;
        for (int i = 4 * width - 1; i >= 0; --i) {
            const uint64_t digit = (bits >> (4 * i)) & 0xF;
            if (digit > 9)
                return "x";
            value = value * 10 + digit;
        }
        return std::to_string(value);
    }
    case ModbusType::Float32:
    case ModbusType::Float64:
    case ModbusType::Float16:
    case ModbusType::String:
        return {};
    }
    return {};
}

// A half-precision number from its fields.
long double ReferenceHalf(uint16_t bits) {
    const int sign = bits >> 15;
    const int exponent = (bits >> 10) & 31;
    const int fraction = bits & 1023;
    long double magnitude;
    if (exponent == 31)
        magnitude = fraction ? NAN : INFINITY;
    else if (exponent == 0)
        magnitude = fraction / 1024.0L * std::pow(2.0L, -14);
    else
        magnitude = (1 + fraction / 1024.0L) * std::pow(2.0L, exponent - 15);
    return sign ? -magnitude : magnitude;
}

void CheckString(const uint16_t* words, ModbusTag tag) {
    tag.type = ModbusType::String;
    const std::optional<QByteArray> text = gateway::ModbusTagText(tag, words);
    FUZZ_CHECK(text.has_value());
    FUZZ_CHECK(gateway::IsCleanText(*text) && !text->endsWith(' '));
    FUZZ_CHECK(text->size() <= 3 * tag.length);
    const bool swapped = tag.order == WordOrder::BADC || tag.order == WordOrder::DCBA;
    QByteArray bytes;
    for (int i = 0; i < 2 * ((tag.length + 1) / 2); ++i) {
        const uint16_t word = words[i / 2];
        const uint8_t high = uint8_t(word >> 8);
        const uint8_t low = uint8_t(word & 0xFF);
        bytes += char((i % 2 == 0) != swapped ? high : low);
    }
    bytes.truncate(tag.length);
    QByteArray expected = gateway::CleanText(bytes);
    while (expected.endsWith(' '))
        expected.chop(1);
    FUZZ_CHECK(*text == expected);
}

void CheckPlainNumber(const QByteArray& text, int decimals) {
    FUZZ_CHECK(text.size() <= gateway::MaxNumberBytes);
    if (text.isEmpty())
        return;
    qsizetype i = 0;
    if (text[0] == '-')
        ++i;
    const qsizetype intStart = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
        ++i;
    const qsizetype intDigits = i - intStart;
    FUZZ_CHECK(intDigits >= 1);
    FUZZ_CHECK(intDigits == 1 || text[intStart] != '0');
    if (decimals > 0) {
        FUZZ_CHECK(i < text.size() && text[i] == '.');
        ++i;
        const qsizetype fracStart = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i;
        FUZZ_CHECK(i - fracStart == decimals);
    }
    FUZZ_CHECK(i == text.size());
    // Never a negative zero: a "-" needs a digit other than 0 after it.
    if (text[0] == '-') {
        bool nonZero = false;
        for (qsizetype k = 1; k < text.size(); ++k)
            nonZero = nonZero || (text[k] >= '1' && text[k] <= '9');
        FUZZ_CHECK(nonZero);
    }
}

void CheckValue(Reader& in) {
    ModbusTag tag;
    tag.type = Types[in.Byte() % TypeCount];
    tag.order = Orders[in.Byte() % 4];
    const uint8_t third = in.Byte();
    tag.decimals = third % 10;
    const uint8_t flags = in.Byte();
    uint16_t words[4];
    for (uint16_t& w : words)
        w = uint16_t(in.Bits(2));
    const double scale = in.Double();
    const double offset = in.Double();
    if (flags & 1)
        tag.scale = scale;
    if (flags & 2)
        tag.offset = offset;
    if (tag.type == ModbusType::String) {
        tag.length = 1 + third % 8;
        CheckString(words, tag);
        return;
    }
    if ((flags & 4) && tag.type == ModbusType::Uint16)
        tag.bit = flags >> 4;

    long double raw = gateway::DecodeRegisters(words, tag.type, tag.order);
    if (tag.bit >= 0)
        raw = (uint16_t(raw) >> tag.bit) & 1;
    const QByteArray text = gateway::ModbusValueText(tag, raw);
    CheckPlainNumber(text, tag.decimals);
    const std::optional<QByteArray> tagText = gateway::ModbusTagText(tag, words);
    FUZZ_CHECK(tagText.has_value() != text.isEmpty());
    FUZZ_CHECK(!tagText || *tagText == text);
    if (tag.type == ModbusType::Float16) {
        const long double half = ReferenceHalf(uint16_t(ReferenceBits(words, 1, tag.order)));
        FUZZ_CHECK(std::isnan(half) ? std::isnan(raw) : half == raw);
    }

    const long double value =
        tag.scale == 1 && tag.offset == 0 ? raw : raw * tag.scale + tag.offset;
    const bool publishable = std::isfinite(value) && std::fabs(value) < gateway::NumberLimit;
    FUZZ_CHECK(text.isEmpty() == !publishable);
    if (publishable) {
        const long double back = std::strtold(text.constData(), nullptr);
        const long double tolerance =
            0.5L * std::pow(10.0L, -tag.decimals) * (1 + 1e-9L) + std::fabs(value) * 1e-14L;
        FUZZ_CHECK(std::fabs(back - value) <= tolerance);
    }

    if (tag.scale != 1 || tag.offset != 0)
        return;
    std::string integer = ReferenceInteger(words, tag.type, tag.order);
    if (tag.bit >= 0)
        integer = std::to_string((ReferenceBits(words, 1, tag.order) >> tag.bit) & 1);
    if (integer == "x") {
        FUZZ_CHECK(!tagText.has_value());
        return;
    }
    if (integer.empty())
        return;
    if (tag.decimals == 0) {
        FUZZ_CHECK(text == QByteArray::fromStdString(integer));
        return;
    }
    // With decimals, exact as long as the scaled number stays below 2^53.
    const long double scaled = std::fabs(raw) * std::pow(10.0L, tag.decimals);
    if (scaled < 9e15L)
        FUZZ_CHECK(text == QByteArray::fromStdString(integer + "." +
                                                     std::string(size_t(tag.decimals), '0')));
}

void CheckPlan(Reader& in) {
    const int maxGap = int(in.Bits(2) % 2000);
    std::vector<ModbusTag> tags;
    while (!in.Done() && tags.size() < 256) {
        const uint8_t kind = in.Byte();
        const int address = int(in.Bits(2));
        const uint8_t length = in.Byte();
        ModbusTag tag;
        tag.table = ModbusTable(kind & 3);
        tag.type = HoldsBits(tag.table) ? ModbusType::Bool : Types[1 + ((kind >> 2) & 15) % 11];
        tag.unit = kind & 64 ? 7 : 1;
        if (tag.type == ModbusType::String)
            tag.length = 1 + length % gateway::MaxModbusStringBytes;
        tag.address = address;
        if (address + gateway::ModbusWidth(tag) > 65536)
            continue;
        tags.push_back(tag);
    }

    const std::vector<gateway::ModbusRead> reads = gateway::PlanModbusReads(tags, maxGap);
    std::vector<int> seen(tags.size(), 0);
    for (const gateway::ModbusRead& read : reads) {
        const int limit = HoldsBits(read.table) ? gateway::MaxReadBits : gateway::MaxReadRegisters;
        FUZZ_CHECK(read.count >= 1 && read.count <= limit);
        FUZZ_CHECK(read.start >= 0 && read.start + read.count <= 65536);
        FUZZ_CHECK(!read.tags.empty());
        // Which addresses of the request a tag uses.
        std::vector<bool> used(size_t(read.count), false);
        bool startsAtTag = false;
        bool endsWithTag = false;
        for (size_t t : read.tags) {
            FUZZ_CHECK(t < tags.size());
            ++seen[t];
            const ModbusTag& tag = tags[t];
            const int end = tag.address + gateway::ModbusWidth(tag);
            FUZZ_CHECK(tag.table == read.table && tag.unit == read.unit);
            FUZZ_CHECK(tag.address >= read.start && end <= read.start + read.count);
            startsAtTag = startsAtTag || tag.address == read.start;
            endsWithTag = endsWithTag || end == read.start + read.count;
            for (int a = tag.address; a < end; ++a)
                used[size_t(a - read.start)] = true;
        }
        FUZZ_CHECK(startsAtTag && endsWithTag);
        int unused = 0;
        int run = 0;
        for (const bool u : used) {
            run = u ? 0 : run + 1;
            unused += u ? 0 : 1;
            FUZZ_CHECK(run <= maxGap);
        }
        FUZZ_CHECK(gateway::UnusedAddresses(read, tags) == unused);
    }
    for (const int count : seen)
        FUZZ_CHECK(count == 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in{data, size};
    CheckValue(in);
    CheckPlan(in);
    return 0;
}
