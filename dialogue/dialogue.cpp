// The polynomial product dialogue: prompts, reads, the product, the result line.
#include "dialogue/dialogue.h"

#include <array>
#include <cmath>
#include <istream>
#include <ostream>
#include <span>

#include "console/console.h"
#include "dialogue/number_reader.h"
#include "dialogue/product.h"
#include "dialogue/texts.h"

namespace {

void WriteLineEnd(std::ostream& out) { out.put('\n').flush(); }

// What to tell the user about a read, if anything.
const MessageText* ErrorOf(Read read, const MessageText& not_a_number) {
  switch (read) {
    case Read::kOk:
      return nullptr;
    case Read::kNotANumber:
      return &not_a_number;
    case Read::kOutOfRange:
      return &kCoefficientTooLarge;
    case Read::kEnded:
      return &kInputEnded;
    case Read::kFailed:
      return &kInputFailed;
  }
  return nullptr;
}

const MessageText* ReadCoefficients(std::istream& in, std::span<float> coefficients) {
  for (float& coefficient : coefficients) {
    const auto* error = ErrorOf(ReadReal(in, coefficient), kCoefficientNotANumber);
    if (error != nullptr) return error;
  }
  return nullptr;
}

int FailOnInput(std::istream& in, std::ostream& out, std::ostream& err,
                const MessageText& message) {
  // The prompt's line is still open, unless the user's Enter ended it.
  if (!TypedLineEnded(in)) WriteLineEnd(out);
  PrintConsoleText(err, message);
  WriteLineEnd(err);
  return kExitBadInput;
}

}  // namespace

int RunDialogue(std::istream& in, std::ostream& out, std::ostream& err) {
  PrintConsoleText(out, kIntroduction);
  WriteLineEnd(out);

  PrintConsoleText(out, kOrderPrompt);
  int order = 0;
  if (const auto* error = ErrorOf(ReadWholeNumber(in, order), kOrderNotWhole)) {
    return FailOnInput(in, out, err, *error);
  }
  static_assert(CoefficientCapacity - 1 == 9, "the message spells out the largest order");
  static_assert(CoefficientCapacity <= kMostFactorCoefficients);
  if (order >= CoefficientCapacity) return FailOnInput(in, out, err, kOrderTooLarge);
  // Any negative order means no coefficients, however large it is.
  const std::size_t count = order < 0 ? 0 : static_cast<std::size_t>(order) + 1;

  PrintConsoleText(out, kCoefficientsHint);
  WriteLineEnd(out);
  PrintConsoleText(out, kCoefficientsOrder);
  WriteLineEnd(out);

  std::array<float, CoefficientCapacity> p1{};
  std::array<float, CoefficientCapacity> p2{};
  out << kFirstFactorPrompt;
  if (const auto* error = ReadCoefficients(in, std::span(p1).first(count))) {
    return FailOnInput(in, out, err, *error);
  }
  out << kSecondFactorPrompt;
  if (const auto* error = ReadCoefficients(in, std::span(p2).first(count))) {
    return FailOnInput(in, out, err, *error);
  }

  std::array<float, ProductCapacity> p3{};
  const auto product = std::span(p3).first(count == 0 ? 0 : 2 * count - 1);
  MultiplyPolynomials(std::span(p1).first(count), std::span(p2).first(count), product);
  for (const float coefficient : product) {
    if (std::isinf(coefficient)) return FailOnInput(in, out, err, kProductTooLarge);
  }

  PrintConsoleText(out, kResultPrefix);
  for (const float coefficient : product) out << coefficient << kResultSeparator;
  out << kResultSuffix;
  WriteLineEnd(out);
  return kExitSuccess;
}

const MessageText& KeyRequest() { return kPressAnyKey; }

bool ShowKeyRequest(std::ostream& out) {
  PrintConsoleText(out, KeyRequest());
  return static_cast<bool>(out.flush());
}

int ReportOutputFailed(std::ostream& err) {
  PrintConsoleText(err, kOutputFailed);
  WriteLineEnd(err);
  return kExitOutputFailed;
}
