// The polynomial product dialogue, run once on the streams it is given.
#pragma once

#include <iosfwd>

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitBadInput = 1;
inline constexpr int kExitOutputFailed = 2;

// Coefficients one factor can hold: orders 0 to 9.
inline constexpr int CoefficientCapacity = 10;
// Coefficients the product of two such factors can have.
inline constexpr int ProductCapacity = 2 * CoefficientCapacity - 1;

// Asks for the order and the coefficients on `out`, reads them from `in`, and
// writes the product, or what was wrong with the input to `err`. Returns the
// exit status: kExitSuccess or kExitBadInput.
int RunDialogue(std::istream& in, std::ostream& out, std::ostream& err);

struct MessageText;

// The request to press a key.
const MessageText& KeyRequest();

// Shows the request to press a key on `out`. False if anything written to
// `out` was lost, the request or the dialogue before it.
bool ShowKeyRequest(std::ostream& out);

// Tells the user on `err` that the output was lost. Returns kExitOutputFailed.
int ReportOutputFailed(std::ostream& err);
