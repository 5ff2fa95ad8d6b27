// The polynomial product dialogue, run once on the streams it is given.
#pragma once

#include <iosfwd>

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitBadInput = 1;
inline constexpr int kExitOutputFailed = 2;

// Asks for the order and the coefficients on `out`, reads them from `in`,
// writes the product, or what was wrong with the input to `err`, and ends with
// the request to press a key, once `ready_for_key` (if given) has readied the
// terminal to take one. The key wait itself is the caller's. Returns the exit
// status.
int RunDialogue(std::istream& in, std::ostream& out, std::ostream& err,
                void (*ready_for_key)() = nullptr);
