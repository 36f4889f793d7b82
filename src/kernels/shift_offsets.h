// Shift offsets laid out for the vector kernels.
#pragma once

#include "format/alphabet.h"

namespace qel {

// kShiftOffsets.at[s][j] = s * (j + 1) mod 94. The offset of body index i
// is at[s][i mod 94], and a vector of W consecutive offsets starting at any
// index is one load, since the row runs on for W entries past 94.
inline constexpr int kOffsetRow = kCycle + 64;

struct ShiftOffsets {
    unsigned char at[10][kOffsetRow];
};

constexpr ShiftOffsets make_shift_offsets() {
    ShiftOffsets t{};
    for (int s = 0; s < 10; ++s)
        for (int j = 0; j < kOffsetRow; ++j) t.at[s][j] = static_cast<unsigned char>((s * (j + 1)) % kCycle);
    return t;
}

inline constexpr ShiftOffsets kShiftOffsets = make_shift_offsets();

// The alphabet and its inverse over the graphic bytes 33..126, padded to
// 128 entries for whole-register tables.
struct PaddedTables {
    unsigned char encode[128];  // entry e -> alphabet byte
    unsigned char decode[128];  // byte 33 + k -> its entry number
};

constexpr PaddedTables make_padded_tables() {
    PaddedTables t{};
    for (int e = 0; e < kCycle; ++e) t.encode[e] = kEncodeAlphabet[e];
    for (int k = 0; k < kCycle; ++k) t.decode[k] = static_cast<unsigned char>(kAlphabetIndex.entry[33 + k]);
    return t;
}

inline constexpr PaddedTables kPaddedTables = make_padded_tables();

}  // namespace qel
