// polymul: shows, in Russian, how two polynomials are multiplied.
#include <clocale>
#include <iostream>

#include "console/console.h"
#include "dialogue/dialogue.h"

int main() {
  // Only the character type: the streams keep the classic locale, so numbers
  // stay 1.5 whatever the user's language.
  std::setlocale(LC_CTYPE, "");
  ChooseTerminalCharset();
  int status = RunDialogue(StandardInput(), std::cout, std::cerr);
  PrepareForKeyPress();
  if (!ShowKeyRequest(std::cout)) status = ReportOutputFailed(std::cerr);
  WaitForKeyPress();
  return status;
}
