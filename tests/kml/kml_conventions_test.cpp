// Shared KML conventions: escaping of outside text into an ISO-8859-1 document.

#include "kml/kml_conventions.h"

#include <gtest/gtest.h>

#include <string>

TEST(KmlConventions, EscapesOutsideTextIntoLatin1) {
    using namespace std::string_literals;
    const std::pair<std::string, std::string> cases[] = {
        {"a&b<c>\"d'", "a&amp;b&lt;c&gt;&quot;d&apos;"},
        // UTF-8 within Latin-1 becomes one byte; beyond it a character reference.
        {"caf\xC3\xA9", "caf\xE9"},
        {"\xE2\x82\xAC 5", "&#8364; 5"},
        {"\xF0\x9F\x9A\x97", "&#128663;"},
        // Bytes that are not UTF-8 are already Latin-1 (a truncated sequence, an overlong form).
        {"caf\xE9", "caf\xE9"},
        {"\xC3", "\xC3"},
        {"\xC0\xAF", "\xC0\xAF"},
        // Characters XML forbids, also an encoded surrogate (taken byte by byte, the lead byte is fine).
        {"a\001b\0c"s, "a?b?c"},
        {"\xEF\xBF\xBE", "?"},
        {"t\tn\n", "t\tn\n"},
    };
    for (const auto& [text, escaped] : cases) EXPECT_EQ(kmlMatch::kmlEscapeText(text), escaped) << text;
}
