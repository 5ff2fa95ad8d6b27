// The polynomial product dialogue: prompts, reads, the product, the result line.
#include "dialogue/dialogue.h"

#include <array>
#include <cmath>
#include <istream>
#include <limits>
#include <locale>
#include <ostream>
#include <span>

#include "console/console.h"
#include "dialogue/product.h"
#include "dialogue/texts.h"

namespace {

enum class Read { kOk, kNotANumber, kOutOfRange, kEnded };

void WriteLineEnd(std::ostream& out) { out.put('\n').flush(); }

// Reads one number that must stand alone between blanks: "2.5" is no order and
// "1,5" no coefficient, though the stream would take their first digits.
template <typename Number>
Read ReadNumber(std::istream& in, Number& value) {
  if ((in >> std::ws).eof()) return Read::kEnded;
  in >> value;
  if (in.fail()) {
    // The stream stores the largest value of the type when a number is too large.
    const bool too_large = value == std::numeric_limits<Number>::max() ||
                           value == std::numeric_limits<Number>::lowest();
    return too_large ? Read::kOutOfRange : Read::kNotANumber;
  }
  if (!in.eof() && !std::isspace(static_cast<char>(in.peek()), in.getloc())) {
    return Read::kNotANumber;
  }
  return Read::kOk;
}

const MessageText* ReadCoefficients(std::istream& in, std::span<float> coefficients) {
  for (float& coefficient : coefficients) {
    switch (ReadNumber(in, coefficient)) {
      case Read::kOk:
        break;
      case Read::kNotANumber:
        return &kCoefficientNotANumber;
      case Read::kOutOfRange:
        return &kCoefficientTooLarge;
      case Read::kEnded:
        return &kInputEnded;
    }
  }
  return nullptr;
}

int Finish(std::ostream& out, std::ostream& err, int status) {
  PrintConsoleText(out, kPressAnyKey);
  out.flush();
  if (!out) {
    PrintConsoleText(err, kOutputFailed);
    WriteLineEnd(err);
    return kExitOutputFailed;
  }
  return status;
}

int FailOnInput(std::ostream& out, std::ostream& err, const MessageText& message) {
  WriteLineEnd(out);  // the prompt's line is still open
  PrintConsoleText(err, message);
  WriteLineEnd(err);
  return Finish(out, err, kExitBadInput);
}

}  // namespace

int RunDialogue(std::istream& in, std::ostream& out, std::ostream& err) {
  PrintConsoleText(out, kIntroduction);
  WriteLineEnd(out);

  PrintConsoleText(out, kOrderPrompt);
  int order = 0;
  switch (ReadNumber(in, order)) {
    case Read::kOk:
      break;
    case Read::kNotANumber:
      return FailOnInput(out, err, kOrderNotWhole);
    case Read::kOutOfRange:
      // Any negative order means no coefficients, however large it is.
      if (order < 0) break;
      return FailOnInput(out, err, kOrderTooLarge);
    case Read::kEnded:
      return FailOnInput(out, err, kInputEnded);
  }
  if (order >= CoefficientCapacity) return FailOnInput(out, err, kOrderTooLarge);
  const std::size_t count = order < 0 ? 0 : static_cast<std::size_t>(order) + 1;

  PrintConsoleText(out, kCoefficientsHint);
  WriteLineEnd(out);
  PrintConsoleText(out, kCoefficientsOrder);
  WriteLineEnd(out);

  std::array<float, CoefficientCapacity> p1{};
  std::array<float, CoefficientCapacity> p2{};
  out << kFirstFactorPrompt;
  if (const auto* error = ReadCoefficients(in, std::span(p1).first(count))) {
    return FailOnInput(out, err, *error);
  }
  out << kSecondFactorPrompt;
  if (const auto* error = ReadCoefficients(in, std::span(p2).first(count))) {
    return FailOnInput(out, err, *error);
  }

  std::array<float, ProductCapacity> p3{};
  const auto product = std::span(p3).first(count == 0 ? 0 : 2 * count - 1);
  MultiplyPolynomials(std::span(p1).first(count), std::span(p2).first(count), product);
  for (const float coefficient : product) {
    if (std::isinf(coefficient)) return FailOnInput(out, err, kProductTooLarge);
  }

  PrintConsoleText(out, kResultPrefix);
  for (const float coefficient : product) out << coefficient << kResultSeparator;
  out << kResultSuffix;
  WriteLineEnd(out);
  return Finish(out, err, kExitSuccess);
}
