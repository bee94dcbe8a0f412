// The WAIT search: does a received block contain a text, ignoring the case
// of ASCII letters (every other byte compares exactly)?
//
// Cost: a vectorised pass that compares each position's first and last
// byte with those of the text (both letter cases at once), so the common
// case costs about what memchr costs per byte whatever the text's length;
// the full comparison runs only where both match. Should those comparisons
// add up to more than the block's length (a repetitive block and text), the
// rest of the block is case-folded and searched with the C library's
// linear-time memmem, so a block never costs more than O(block + text).
#pragma once

#include <string_view>

namespace textsearch {

// True if find occurs in text, ASCII letters compared without case; an
// empty find occurs in every text (the empty text included).
bool ContainsFolded(std::string_view text, std::string_view find);

// For tests: with off, the 16-byte way is used even where 32-byte registers
// exist. Returns whether the 32-byte way is now in use.
bool UseWideRegisters(bool on);

}  // namespace textsearch
