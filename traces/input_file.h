// Reading what nobody controls: input files given by name or found in a folder, and their text in
// messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace inputFile {

// Why `path` cannot be read as data, or "" when it is a regular file (or a link to one) that opens
// for reading. A FIFO would block its reader and a device would feed it without end, so both are
// refused; the check itself never blocks.
std::string unreadable(const std::string& path);

// Text taken from a file, fit for one message line: control characters, backslashes and quotes are
// escaped (\n, \t, \x1b, \\, \"), and text beyond `limit` bytes is cut and marked with "...". A file
// can then neither forge report lines nor flood the output.
std::string printable(std::string_view text, size_t limit = 64);

}  // namespace inputFile
