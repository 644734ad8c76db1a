#include "app/output_check.h"

#include <cerrno>
#include <cstring>
#include <iostream>

bool matchApp::standardOutputWritten(std::ostream& out) {
    errno = 0;
    out.flush();
    if (out) return true;
    // errno tells why when the failing write was this flush; an earlier failure left no reason.
    const int err = errno;
    std::cerr << "ERROR: cannot write to standard output: "
              << (err != 0 ? std::strerror(err) : "a write failed") << std::endl;
    return false;
}

int matchApp::exitStatusAfterOutput(int status) {
    return standardOutputWritten(std::cout) ? status : 1;
}
