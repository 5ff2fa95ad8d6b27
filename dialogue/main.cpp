// polymul: shows, in Russian, how two polynomials are multiplied.
#include <clocale>
#include <ostream>

#include "console/console.h"
#include "dialogue/dialogue.h"

int main() {
  EndOnSignalsEvenAsFirstProcess();
  // Only the character type: the streams keep the classic locale, so numbers
  // stay 1.5 whatever the user's language.
  std::setlocale(LC_CTYPE, "");
  ChooseTerminalCharset();
  std::ostream& out = StandardOutput();
  std::ostream& err = StandardError();
  int status = RunDialogue(StandardInput(), out, err);
  PrepareForKeyPress(KeyRequest());
  if (!ShowKeyRequest(out)) status = ReportOutputFailed(err);
  WaitForKeyPress();
  return status;
}
