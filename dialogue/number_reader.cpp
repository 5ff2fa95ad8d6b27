// Numbers scanned character by character straight from the stream's buffer, so
// that a token of any length costs no memory beyond a fixed array of digits.
#include "dialogue/number_reader.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <istream>
#include <streambuf>

#include "fast_float/fast_float.h"

namespace {

using Traits = std::streambuf::traits_type;

// The blanks of the "C" locale: what separates one number from the next.
bool IsBlank(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigit(int c) { return c >= '0' && c <= '9'; }

// Why no character came: the end of the input, or a read that failed.
Read NoMoreInput(std::istream& in) {
  if (in.bad()) return Read::kFailed;
  in.setstate(std::ios::eofbit);
  return Read::kEnded;
}

// Skips blanks and tells whether a token follows, or why none does.
Read StartToken(std::istream& in) {
  if (std::ostream* prompt = in.tie()) prompt->flush();
  // Nothing is read past an end (a terminal's Ctrl-D) or a failure.
  if (in.eof() || in.bad()) return NoMoreInput(in);
  std::streambuf& buffer = *in.rdbuf();
  int c = buffer.sgetc();
  while (IsBlank(c)) c = buffer.snextc();
  return c == Traits::eof() ? NoMoreInput(in) : Read::kOk;
}

// A number ends where its token does: "2.5" is no whole number, "1,5" no real.
Read EndToken(std::istream& in) {
  const int c = in.rdbuf()->sgetc();
  if (c != Traits::eof()) return IsBlank(c) ? Read::kOk : Read::kNotANumber;
  // The end of the input ends the number too; a failed read leaves it unfinished.
  return NoMoreInput(in) == Read::kFailed ? Read::kFailed : Read::kOk;
}

// Takes a sign if one comes, and tells whether it was a minus.
bool TakeSign(std::streambuf& buffer) {
  const int c = buffer.sgetc();
  if (c != '+' && c != '-') return false;
  buffer.sbumpc();
  return c == '-';
}

// The digits that can decide how a decimal number rounds to float: the
// longest decimal of a float or a midpoint between two has 113 significant
// digits. Later digits matter only in whether any of them is not zero.
constexpr int kKeptDigits = 120;

// A decimal number as digits times a power of ten, from any number of digits.
struct Decimal {
  std::array<char, kKeptDigits + 1> digits{};  // and a sticky digit
  int kept = 0;
  long long exponent = 0;  // saturates beyond any input a disk can hold
  bool any_digit = false;

  void Take(char digit, bool after_point) {
    any_digit = true;
    if (kept == 0 && digit == '0') {  // leading zeros are no significant digits
      if (after_point) --exponent;
    } else if (kept < kKeptDigits) {
      digits[static_cast<std::size_t>(kept++)] = digit;
      if (after_point) --exponent;
    } else {
      // Dropped: one nonzero digit, put in the first dropped place, rounds the
      // same way as all of them.
      if (digit != '0') digits[kKeptDigits] = '1';
      if (!after_point) ++exponent;
    }
    exponent = std::clamp(exponent, -kExponentLimit, kExponentLimit);
  }

  // Far beyond the float range, and beyond the digits any disk holds, so that
  // the typed exponent and the point's place never saturate apart; ten times
  // it, and the sum of two, still fit a long long.
  static constexpr long long kExponentLimit = 100'000'000'000'000'000;
};

}  // namespace

Read ReadWholeNumber(std::istream& in, int& value) {
  if (const Read start = StartToken(in); start != Read::kOk) return start;
  std::streambuf& buffer = *in.rdbuf();
  const bool negative = TakeSign(buffer);
  long long magnitude = 0;  // saturates just past the int range
  bool any_digit = false;
  for (int c = buffer.sgetc(); IsDigit(c); c = buffer.snextc()) {
    any_digit = true;
    magnitude = std::min(magnitude * 10 + (c - '0'), static_cast<long long>(INT_MAX) + 1);
  }
  if (!any_digit) return Read::kNotANumber;
  if (const Read end = EndToken(in); end != Read::kOk) return end;
  value =
      static_cast<int>(negative ? std::max(-magnitude, static_cast<long long>(INT_MIN))
                                : std::min(magnitude, static_cast<long long>(INT_MAX)));
  return Read::kOk;
}

Read ReadReal(std::istream& in, float& value) {
  if (const Read start = StartToken(in); start != Read::kOk) return start;
  std::streambuf& buffer = *in.rdbuf();
  const bool negative = TakeSign(buffer);
  Decimal number;
  int c = buffer.sgetc();
  for (; IsDigit(c); c = buffer.snextc()) number.Take(static_cast<char>(c), false);
  if (c == '.') {
    for (c = buffer.snextc(); IsDigit(c); c = buffer.snextc()) {
      number.Take(static_cast<char>(c), true);
    }
  }
  if (!number.any_digit) return Read::kNotANumber;
  if (c == 'e' || c == 'E') {
    buffer.sbumpc();
    const bool negative_exponent = TakeSign(buffer);
    long long exponent = 0;
    bool any_digit = false;
    for (c = buffer.sgetc(); IsDigit(c); c = buffer.snextc()) {
      any_digit = true;
      exponent = std::min(exponent * 10 + (c - '0'), Decimal::kExponentLimit);
    }
    if (!any_digit) return Read::kNotANumber;
    number.exponent += negative_exponent ? -exponent : exponent;
  }
  if (const Read end = EndToken(in); end != Read::kOk) return end;

  // fast_float rounds correctly for every input, the same on every runtime
  // (MinGW-w64's strtof does not). It is given the significant digits only,
  // so it never sees more than a few hundred characters.
  std::array<char, kKeptDigits + 32> text{};
  const bool sticky = number.digits[kKeptDigits] != '\0';
  if (sticky) number.digits[static_cast<std::size_t>(number.kept++)] = '1';
  if (number.kept == 0) number.digits[static_cast<std::size_t>(number.kept++)] = '0';
  const int size = std::snprintf(text.data(), text.size(), "%s%.*se%lld",
                                 negative ? "-" : "", number.kept, number.digits.data(),
                                 number.exponent - (sticky ? 1 : 0));
  // Beyond float's range it gives infinity, and zero below it; later versions
  // also report both as out of range.
  [[maybe_unused]] const auto converted =
      fast_float::from_chars(text.data(), text.data() + size, value);
  return std::isinf(value) ? Read::kOutOfRange : Read::kOk;
}
