// The terminal as the dialogue sees it: texts in the terminal's own character
// set, and the wait for one key press. Implemented once for each platform.
#pragma once

#include <iosfwd>

#include "console/message_text.h"

// Writes `text` to `out` in the character set of the terminal, with no line end
// and no flush. Where the terminal cannot show a character of it, the whole
// text is written in UTF-8 instead.
void PrintConsoleText(std::ostream& out, const MessageText& text);

// Flushes standard output and waits for one key press at the terminal, with no
// echo and no Enter needed. Returns at once when no terminal shows the output.
void WaitForKeyPress();
