#include "store/DeflateTables.h"

#include <algorithm>
#include <cstring>

namespace deflate {

const uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

namespace {

const uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                  31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                  2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

uint32_t SymbolEntry(Code code, unsigned symbol, unsigned bits) {
  switch (code) {
    case Code::CodeLengths:
      return Entry(kLiteral, bits, 0, symbol);
    case Code::Literals:
      if (symbol < 256) return Entry(kLiteral, bits, 0, symbol);
      if (symbol == 256) return Entry(kEnd, bits, 0, 0);
      if (symbol < 286) return Entry(kBase, bits, kLengthExtra[symbol - 257], kLengthBase[symbol - 257]);
      return Entry(kInvalid, bits, 0, 0);
    case Code::Distances:
      if (symbol < 30) return Entry(kBase, bits, kDistExtra[symbol], kDistBase[symbol]);
      return Entry(kInvalid, bits, 0, 0);
  }
  return Entry(kInvalid, bits, 0, 0);
}

struct FixedTables {
  uint32_t literals[kLitEntries];
  uint32_t distances[kDistEntries];
  FixedTables() {
    uint8_t lengths[288];
    std::fill(lengths, lengths + 144, 8);
    std::fill(lengths + 144, lengths + 256, 9);
    std::fill(lengths + 256, lengths + 280, 7);
    std::fill(lengths + 280, lengths + 288, 8);
    BuildTable(lengths, 288, Code::Literals, literals, kLitRoot, kLitEntries);
    std::fill(lengths, lengths + 32, 5);
    BuildTable(lengths, 32, Code::Distances, distances, kDistRoot, kDistEntries);
  }
};

const FixedTables& Fixed() {
  static const FixedTables tables;
  return tables;
}

}  // namespace

bool BuildTable(const uint8_t* lengths, unsigned n, Code code, uint32_t* table, unsigned root,
                size_t capacity, bool* empty) {
  unsigned count[16] = {};
  for (unsigned i = 0; i < n; ++i) ++count[lengths[i]];
  count[0] = 0;
  unsigned max = 15;
  while (max > 0 && count[max] == 0) --max;
  int left = 1;
  for (unsigned len = 1; len <= 15; ++len) {
    left = 2 * left - int(count[len]);
    if (left < 0) return false;
  }
  if (left > 0 && max > 0 && (code == Code::CodeLengths || max != 1)) return false;
  // A complete code fills every entry; the others are invalid.
  if (left > 0) std::fill(table, table + (size_t(1) << root), Entry(kInvalid, 1, 0, 0));
  if (empty) *empty = max == 0;
  if (max == 0) return true;

  unsigned total = 0;
  for (unsigned len = 1; len <= 15; ++len) total += count[len];
  unsigned offset[16] = {};
  for (unsigned len = 1; len < 15; ++len) offset[len + 1] = offset[len] + count[len];
  uint16_t sorted[320];
  for (unsigned sym = 0; sym < n; ++sym) {
    if (lengths[sym]) sorted[offset[lengths[sym]]++] = uint16_t(sym);
  }
  unsigned remaining[16];
  std::memcpy(remaining, count, sizeof remaining);
  const unsigned rootMask = (1u << root) - 1;
  size_t used = size_t(1) << root;
  unsigned linkedPrefix = ~0u, subBits = 0;
  size_t subOffset = 0;
  // The codes in canonical order, kept bit-reversed (the order they are
  // read in) and counted up from the most significant end.
  unsigned reversed = 0;
  for (unsigned k = 0; k < total; ++k) {
    const unsigned sym = sorted[k];
    const unsigned len = lengths[sym];
    if (len <= root) {
      const uint32_t e = SymbolEntry(code, sym, len);
      for (unsigned i = reversed; i <= rootMask; i += 1u << len) table[i] = e;
    } else {
      const unsigned prefix = reversed & rootMask;
      if (prefix != linkedPrefix) {
        // A second-level table wide enough for the codes under this prefix.
        subBits = len - root;
        int room = 1 << subBits;
        while (subBits + root < max) {
          room -= int(remaining[subBits + root]);
          if (room <= 0) break;
          ++subBits;
          room <<= 1;
        }
        subOffset = used;
        used += size_t(1) << subBits;
        if (used > capacity) return false;  // beyond any complete code's need
        table[prefix] = Entry(kLink, root, subBits, uint32_t(subOffset));
        linkedPrefix = prefix;
      }
      const uint32_t e = SymbolEntry(code, sym, len - root);
      for (unsigned i = reversed >> root; i < (1u << subBits); i += 1u << (len - root)) {
        table[subOffset + i] = e;
      }
    }
    --remaining[len];
    unsigned step = 1u << (len - 1);
    while (reversed & step) step >>= 1;
    reversed = step ? (reversed & (step - 1)) + step : 0;
  }
  return true;
}

const uint32_t* FixedLiterals() { return Fixed().literals; }
const uint32_t* FixedDistances() { return Fixed().distances; }

}  // namespace deflate
