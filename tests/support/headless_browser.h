// Opens pages from disk in headless Chromium (Debian's chromium package): the document as it stands
// after the page's scripts ran, and a screenshot. Every run has its own profile folder, no network
// (host names do not resolve) and a time limit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace karvel_test {

// Why Chromium cannot start here (not installed, refuses to run, ...); nothing when it can. The
// program is `chromium` on the PATH, or KARVEL_CHROMIUM.
std::optional<std::string> browserUnavailable();

struct BrowserPage {
    bool ok = false;  // Chromium ran and printed a document
    std::string dom;  // the serialised document after the scripts ran
    std::string log;  // what Chromium printed on standard error (console messages among it)
};
BrowserPage renderedDom(const std::string& htmlFile);

struct Screenshot {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;  // row by row, three bytes a pixel
    // Pixels of exactly this colour left of column `leftOf`.
    size_t count(uint8_t r, uint8_t g, uint8_t b, int leftOf = 1 << 30) const;
};
// Nothing when Chromium failed or the picture cannot be read.
std::optional<Screenshot> screenshot(const std::string& htmlFile, int width, int height);

// The value of attribute `name` on the <body> of a serialised document; nothing when it is absent.
std::optional<std::string> bodyAttribute(const std::string& dom, const std::string& name);

}  // namespace karvel_test
