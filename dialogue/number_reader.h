// The numbers of the dialogue, read from a stream one blank-separated token at a
// time, in fixed memory and with the same grammar on every standard library.
#pragma once

#include <iosfwd>

// kFailed: the stream could not be read (badbit), which is not its end.
enum class Read { kOk, kNotANumber, kOutOfRange, kEnded, kFailed };

// Both first flush the stream tied to `in`, so that a prompt is on screen
// before its answer is awaited.
//
// Reads an optional sign and decimal digits. A value beyond the range of int is
// stored as the nearest end of that range: such an order is too large, or, as
// any negative order, has no coefficients.
Read ReadWholeNumber(std::istream& in, int& value);

// Reads an optional sign, decimal digits with an optional point ("5.", ".5") and
// an optional exponent ("1e5", "1E+5"); no hexadecimal, infinity or NaN. Stores
// the nearest float, ties to even; a value beyond the float range is
// kOutOfRange, one below it becomes 0 or a subnormal.
Read ReadReal(std::istream& in, float& value);
