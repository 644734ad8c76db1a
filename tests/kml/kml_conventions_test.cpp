// Shared KML conventions: escaping of outside text into an ISO-8859-1 document, head and folder texts.

#include "kml/kml_conventions.h"

#include <gtest/gtest.h>

#include <sstream>

#include "kml_test_util.h"

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
    for (const auto& [text, escaped] : cases) EXPECT_EQ(kmlEscapeText(text), escaped) << text;
}

TEST(KmlConventions, OutsideNamesRoundTripThroughAWellFormedDocument) {
    kml_test::WorkDir wd;
    const std::string name = "Rua S\xC3\xA3o Jo\xC3\xA3o & \xE2\x82\xAC<1>\x02";
    std::ostringstream doc;
    writeKmlDocumentHead(doc);
    writeKmlFolderHead(doc, 1, name, name);
    doc << "\t</Folder>\n";
    writeKmlDocumentEnd(doc);
    const std::string path = wd.file("names.kml");
    karvel_test::writeFile(path, doc.str());
    ASSERT_TRUE(kml_test::wellFormedXml(path));
    EXPECT_TRUE(kml_test::plainLatin1(doc.str()));
    // xmllint reads the document as ISO-8859-1 and prints UTF-8: the name comes back intact.
    const auto read = karvel_test::runCommand(
        "/usr/bin/xmllint --xpath 'string(//*[local-name()=\"name\"])' '" + path + "'");
    EXPECT_EQ(read.out.substr(0, read.out.find_last_not_of('\n') + 1),
              "Rua S\xC3\xA3o Jo\xC3\xA3o & \xE2\x82\xAC<1>?");
}
