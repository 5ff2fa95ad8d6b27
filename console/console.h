// The terminal as the dialogue sees it: texts in the terminal's own character
// set, standard input, and the wait for one key press. Implemented once for
// each platform.
#pragma once

#include <iosfwd>

#include "console/message_text.h"

// Decides, once, the character set that PrintConsoleText writes: the one of
// the locale in force (POSIX) or of the console (Windows). Until it is called,
// texts are written in UTF-8.
void ChooseTerminalCharset();

// Writes `text` to `out` in the terminal's character set, with no line end and
// no flush.
void PrintConsoleText(std::ostream& out, const MessageText& text);

// Makes each signal that ends a program end this one, with status 128 + its
// number, where the kernel would discard it: in the first process of a PID
// namespace (docker run -it, unshare --pid --fork). Nothing elsewhere.
void EndOnSignalsEvenAsFirstProcess();

// Readies the terminal for one key press, to be called just before `request`
// is shown, so that a key pressed once the request is on screen counts and
// none typed or pasted before it does. Does nothing when no terminal shows the
// output. On POSIX systems a program stopped once all of the request is
// written, and before the key, shows it again from the start of its line each
// time it is brought back to the foreground.
void PrepareForKeyPress(const MessageText& request);

// Waits, after PrepareForKeyPress and the request, for one key press at the
// terminal, with no echo and no Enter needed, drops what follows the key (the
// rest of an arrow or of a paste), and gives the terminal back as it was. On
// POSIX systems it then ends the request's line, so that the shell's prompt
// starts a line of its own. Returns at once when no terminal shows the output.
void WaitForKeyPress();

// Standard output and standard error. Where another program left the
// descriptor non-blocking (or the terminal's output is stopped with Ctrl-S),
// a write waits until it can be made; only output that cannot be written at
// all sets badbit. Standard error is unbuffered; standard output is flushed
// before anything is written to standard error.
std::ostream& StandardOutput();
std::ostream& StandardError();

// Whether the user's own Enter, echoed at the terminal, has ended the line
// that standard output is on: `in` is standard input typed at the terminal
// that shows the output, and what it read last ended with a line end.
bool TypedLineEnded(const std::istream& in);

// Standard input, tied to standard output so that a prompt is on screen before
// its answer is awaited. Where another program left the descriptor
// non-blocking, it waits for input all the same; a read that fails sets badbit,
// so that it is not taken for the end of the input; after the end or a failure
// it reads no more, as C's stdio does.
std::istream& StandardInput();
