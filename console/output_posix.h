// What the POSIX key wait and standard input need to know of standard output,
// in a signal handler too.
#pragma once

#include <signal.h>

#include <cstddef>

// How many bytes have reached standard output so far (the dialogue's output
// is a few hundred).
sig_atomic_t StandardOutputWritten();

// Writes `bytes` to standard output past the stream's buffer, waiting for room
// as the stream does; safe in a signal handler. False if they cannot be written.
bool WriteToStandardOutput(const char* bytes, std::size_t size);
