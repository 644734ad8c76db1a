// Conventions shared by every KML document the program writes: the head and end of a document,
// icon and namespace URLs, colours, number format, and the escaping of outside text.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "traces/route.h"  // kKmlIconServer

namespace kmlMatch {

// Namespace of the root element: the documents follow KML 2.0.
inline constexpr const char* kKmlNamespace = "http://earth.google.com/kml/2.0";
// Documents declare ISO-8859-1; kmlEscapeText keeps outside text within it.
inline constexpr const char* kKmlXmlDeclaration = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>";

// Icon paths on the icon server.
inline constexpr const char* kKmlIconSquare = "/mapfiles/kml/shapes/square.png";
inline constexpr const char* kKmlIconArrow = "/mapfiles/kml/shapes/arrow.png";
inline constexpr const char* kKmlIconCircle = "/mapfiles/kml/shapes/placemark_circle.png";
inline constexpr const char* kKmlIconUnmatched = "/mapfiles/kml/pal3/icon59.png";
inline constexpr const char* kKmlIconBlueBlankPal3 = "/mapfiles/kml/pal3/blu-blank.png";
inline constexpr const char* kKmlIconBlueBlankPaddle = "/mapfiles/kml/paddle/blu-blank.png";

// Digits after the decimal point: the match document and the general writer.
inline constexpr int kKmlMatchDecimals = 12;
inline constexpr int kKmlWriterDecimals = 9;

// Colour digits in KML's bbggrr order (without the alpha byte).
inline constexpr const char* kKmlWhite = "ffffff";
inline constexpr const char* kKmlMagenta = "ff00ff";
inline constexpr const char* kKmlBlue = "ff0000";
inline constexpr const char* kKmlGreen = "00ff00";
inline constexpr const char* kKmlRed = "0000ff";
inline constexpr const char* kKmlBlack = "000000";

// Icon server base followed by path.
std::string kmlIconUrl(std::string_view path);
// An opaque aabbggrr colour: "ff" followed by the six bbggrr digits.
std::string kmlOpaqueColor(std::string_view bbggrr);

// Fixed notation with the given number of decimals, trailing zeros kept.
void setKmlNumberFormat(std::ostream& out, int decimals);

// The XML declaration, the kml root element and "<Document>", one line each.
void writeKmlDocumentHead(std::ostream& out);
// "</Document>" and "</kml>", one line each.
void writeKmlDocumentEnd(std::ostream& out);

// Four-line folder head at `indent` tabs. id and title are raw text (escaped here).
void writeKmlFolderHead(std::ostream& out, int indent, std::string_view id, std::string_view title);
// LookAt block and Point of a point placemark at `indent` tabs.
void writeKmlViewBlock(std::ostream& out, int indent, double latitude, double longitude);
// Style and LineString of a line placemark at `indent` tabs, up to the coordinates element;
// the caller writes the vertices (kmlVertex at indent + 2) and then writeKmlLineEnd.
void writeKmlLineStart(std::ostream& out, int indent, std::string_view bbggrr);
// The same with a complete aabbggrr colour (alpha byte included).
void writeKmlLineStartColor(std::ostream& out, int indent, std::string_view aabbggrr);
void writeKmlLineEnd(std::ostream& out, int indent);
// One vertex line: indent tabs, then longitude,latitude,0.
void writeKmlVertex(std::ostream& out, int indent, double latitude, double longitude);

// Text from outside the program (names, file names) made safe for an ISO-8859-1 XML document:
// markup characters become entities; valid UTF-8 is decoded, characters up to U+00FF are written
// as single bytes and later ones as character references; bytes that are not valid UTF-8 are
// taken as ISO-8859-1; characters XML does not allow become '?'.
std::string kmlEscapeText(std::string_view text);

}  // namespace kmlMatch
