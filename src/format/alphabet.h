// The built-in alphabet, the shift increment and the step marks.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifndef QEL_STEP_SELECTOR
#error "QEL_STEP_SELECTOR must be defined by the build"
#endif

namespace qel {

// A permutation of the 94 graphic codes 33 to 126; the space is not among them.
inline constexpr unsigned char kEncodeAlphabet[94] = {
    'c', '=', 'v', '-', ',', '~', '^', 'S', '`', 'W', '[', '#', '*', '}', 'R', 'Y',
    'Z', 'F', 'M', '@', 'C', '5', 'q', '0', '6', '7', 'b', 'm', 'd', 'D', '<', '&',
    'L', '%', 'a', '9', '!', 'A', '(', '8', '/', 'k', 'N', 'y', 'E', 'P', 'h', '\'',
    '\\', 'x', 't', 'V', 'g', 'J', 'o', 'w', '2', 'O', 'i', 'p', 'U', ')', 'j', 'B',
    '_', ']', 'Q', '?', 'f', ';', '1', 'X', 'T', ':', '"', '>', 'r', 'e', '|', 'I',
    'l', 'n', 'u', '$', '+', 'G', 'H', 'K', 's', '{', '3', 'z', '.', '4',
};

inline constexpr int kCycle = 94;

// Built-in value fixed when the library is built; only the shift derived
// from it reaches the records.
inline constexpr uint32_t kStepSelector = QEL_STEP_SELECTOR;

// The shift increment s, 1 to 9.
inline constexpr int kShift = static_cast<int>(((2u * kStepSelector) % 9u) + 1u);

// The step mark of a record encoded with shift s is alphabet entry s + 16.
inline constexpr int kStepMarkBase = 16;
inline constexpr unsigned char kStepMark = kEncodeAlphabet[kShift + kStepMarkBase];

// Entry number of each graphic byte in the alphabet; -1 for every other byte.
struct AlphabetIndex {
    signed char entry[256];
};

constexpr AlphabetIndex make_alphabet_index() {
    AlphabetIndex ix{};
    for (int b = 0; b < 256; ++b) ix.entry[b] = -1;
    for (int e = 0; e < kCycle; ++e) ix.entry[kEncodeAlphabet[e]] = static_cast<signed char>(e);
    return ix;
}

inline constexpr AlphabetIndex kAlphabetIndex = make_alphabet_index();

// The shift increment named by a step mark, or 0 if the byte is no step mark.
constexpr int shift_of_step_mark(unsigned char mark) {
    const int e = kAlphabetIndex.entry[mark];
    return (e > kStepMarkBase && e <= kStepMarkBase + 9) ? e - kStepMarkBase : 0;
}

static_assert(kShift >= 1 && kShift <= 9);
static_assert(shift_of_step_mark(kStepMark) == kShift);

}  // namespace qel
