#pragma once
// Pure logic of Modbus tags: which requests read a device's tags, how registers decode to a
// value, and how a number is written for the wire.

#include "gateway/NumberText.h"
#include "gateway/TagFile.h"

#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

namespace gateway {

// The most one read request may ask for.
constexpr int MaxReadRegisters = 125;
constexpr int MaxReadBits = 2000;

// One read request and the tags (indices into the tag list given) it serves.
struct ModbusRead {
    int unit = -1;
    ModbusTable table = ModbusTable::HoldingRegister;
    int start = 0;
    int count = 0;
    std::vector<size_t> tags;
};

// The fewest requests that read `tags`: neighbouring addresses of one table of one unit
// share a request as long as it stays within the protocol's limit and skips at most `maxGap`
// unused addresses between two tags (-1: only tags that overlap share one).
std::vector<ModbusRead> PlanModbusReads(const std::vector<ModbusTag>& tags, int maxGap);

// How many addresses of `read` none of its tags uses (those a gap > 0 read over).
int UnusedAddresses(const ModbusRead& read, const std::vector<ModbusTag>& tags);

// True for coils and discrete inputs, which hold bits rather than registers.
bool IsBitTable(ModbusTable table);

// "holding registers", "coils", ...: a table's name in a message.
QString ModbusTableText(ModbusTable table);

// "exception 02, illegal data address": a Modbus exception code (in hex, as the protocol
// numbers them) and what it means.
QString ModbusExceptionText(int code);

// The value of `type` held in `words` (ModbusWidth(type) registers as received), whose bytes
// are laid out in `order`. Exact for every 64-bit integer. NaN for a BCD value with a digit
// above 9; 0 for String, which is text.
long double DecodeRegisters(const quint16* words, ModbusType type, WordOrder order);

// The published text of a Modbus tag read as `raw`: scale and offset applied, then
// formatted. Bits publish 0 or 1 before scale and offset.
QByteArray ModbusValueText(const ModbusTag& tag, long double raw);

// The published text of `tag` from `words`, the ModbusWidth(tag) registers (one entry per bit
// for coils and discrete inputs) it reads, as received. A string is its bytes with trailing
// NULs and blanks cut, made clean text (WireText.h). Nothing when the registers hold no
// usable value: a BCD digit above 9, a float that is not finite, a number too large to
// publish.
std::optional<QByteArray> ModbusTagText(const ModbusTag& tag, const quint16* words);

} // namespace gateway
