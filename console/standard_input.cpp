// The one standard input stream, whichever platform file reads it.
#include "console/standard_input.h"

#include "console/console.h"

std::istream& StandardInput() {
  static StandardInputStream input;
  return input;
}
