// Shared pieces of the fuzz targets: a private scratch folder, file writing, a quiet console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace karvel_fuzz {

// A folder of this process (on a memory file system when there is one), created on first use.
const std::string& scratchDir();

// Replaces the file's contents; aborts when the scratch folder is unusable.
void writeFile(const std::string& path, std::string_view data);
std::string readFile(const std::string& path);

// Sends std::cout to nowhere unless KARVEL_FUZZ_VERBOSE is set: the program reports on standard
// output, and printing every input's report would slow the search to a crawl.
void quietConsole();

// Makes the corpus folders and file arguments, and the values of libFuzzer's path flags, absolute
// (against the current folder), for a target that changes its working folder.
void absolutePathArguments(int argc, char** argv);

// Stops the run with a message; libFuzzer then keeps the input as a crash.
[[noreturn]] void fail(const std::string& what);

}  // namespace karvel_fuzz
