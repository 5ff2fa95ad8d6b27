// polymul: shows, in Russian, how two polynomials are multiplied.
#include <iostream>

#include "console/console.h"
#include "dialogue/dialogue.h"

int main() {
  const int status = RunDialogue(std::cin, std::cout, std::cerr);
  WaitForKeyPress();
  return status;
}
