// The one standard input stream, whichever platform file reads it.
#include "console/standard_input.h"

#include "console/console.h"

std::istream& StandardInput() {
  static StandardInputStream input;
  return input;
}

bool TypedLineEnded(const std::istream& in) {
  return &in == &StandardInput() &&
         static_cast<const StandardInputStream&>(in).LastReadEndedLine() &&
         InputEchoedWithOutput();
}
