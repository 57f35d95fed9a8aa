// The decoding tables of the deflate decoder: entries, the tables of a
// canonical code built by zlib's rules, and the fixed codes' tables.
#ifndef UPDATER_DEFLATETABLES_H
#define UPDATER_DEFLATETABLES_H

#include <cstddef>
#include <cstdint>

namespace deflate {

// Table sizes: root lookups of kLitRoot and kDistRoot bits, then second-level
// tables for longer codes. 1334 and 402 entries are the most any complete
// code of up to 15 bits needs with these roots.
constexpr unsigned kCodeLengthRoot = 7;
constexpr unsigned kLitRoot = 10;
constexpr unsigned kDistRoot = 8;
constexpr size_t kCodeLengthEntries = size_t(1) << kCodeLengthRoot;
constexpr size_t kLitEntries = 1536;
constexpr size_t kDistEntries = 512;

// A table entry: bits 0-5 the code bits used at its level, 8-10 its kind,
// 11-15 the extra bits that follow the code (for a link, the second-level
// table's index bits), 16-31 the value (a literal byte, a length or
// distance base, a code length symbol, or a second-level table's offset).
enum : uint32_t { kLiteral = 0, kBase = 1, kEnd = 2, kInvalid = 3, kLink = 4 };

constexpr uint32_t Entry(uint32_t kind, unsigned bits, unsigned extra, uint32_t value) {
  return value << 16 | uint32_t(extra) << 11 | kind << 8 | bits;
}
// Masked to six bits so that a shift by it needs no further masking.
inline unsigned Bits(uint32_t e) { return e & 0x3F; }
inline uint32_t Kind(uint32_t e) { return (e >> 8) & 7; }
inline unsigned Extra(uint32_t e) { return (e >> 11) & 0x1F; }
inline uint32_t Value(uint32_t e) { return e >> 16; }
inline uint64_t Low(uint64_t hold, unsigned count) {
  return hold & ((uint64_t(1) << count) - 1);
}

// The order in which a dynamic block sends its code length code's lengths.
extern const uint8_t kCodeLengthOrder[19];

enum class Code { CodeLengths, Literals, Distances };

// Builds the decoding table of a canonical code from its code lengths, by
// zlib's rules: an over-subscribed set is refused; an incomplete one too,
// except a literal/length or distance code whose only code is one bit
// long; a set with no codes at all is taken (*empty, when asked), and any
// symbol read with it fails. Unused codes decode as invalid, one bit long, as in zlib.
// table holds capacity entries: the root lookup of root bits, then the
// second-level tables.
bool BuildTable(const uint8_t* lengths, unsigned n, Code code, uint32_t* table, unsigned root,
                size_t capacity, bool* empty = nullptr);

// The tables of the fixed codes (block type 1).
const uint32_t* FixedLiterals();
const uint32_t* FixedDistances();

}  // namespace deflate

#endif
