// The last word of every program on its standard output: a write that failed there (a full disk,
// /dev/full, a file-size limit) must not end with status 0 and a cut result taken for a whole one.
#pragma once

#include <iosfwd>

namespace matchApp {

// Flushes `out` (standard output or a stream over its buffer); false, after "ERROR: cannot write to
// standard output: <why>" on standard error, when that or any earlier write to it failed.
bool standardOutputWritten(std::ostream& out);

// The exit status of a program that would end with `status`: 1 when standard output was not written
// whole. Every program returns through it.
int exitStatusAfterOutput(int status);

}  // namespace matchApp
