#include "kml/kml_conventions.h"

#include <cstdint>
#include <ios>

namespace kmlMatch {

namespace {

void tabs(std::ostream& out, int n) {
    for (int i = 0; i < n; ++i) out << '\t';
}

// Characters XML 1.0 allows in a document.
bool isXmlChar(uint32_t c) {
    if (c < 0x20) return c == 0x09 || c == 0x0A || c == 0x0D;
    if (c >= 0xD800 && c <= 0xDFFF) return false;
    if (c == 0xFFFE || c == 0xFFFF) return false;
    return c <= 0x10FFFF;
}

// Decodes one well-formed UTF-8 sequence at text[i]; returns its length, or 0 when the bytes there
// are not one (overlong forms, surrogates and values past U+10FFFF included).
size_t decodeUtf8(std::string_view text, size_t i, uint32_t& cp) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b0 = byte(i);
    size_t len;
    uint32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + len > text.size()) return 0;
    for (size_t k = 1; k < len; ++k) {
        const unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

void appendChar(std::string& out, uint32_t c) {
    if (!isXmlChar(c)) {
        out += '?';
        return;
    }
    switch (c) {
        case '&':
            out += "&amp;";
            return;
        case '<':
            out += "&lt;";
            return;
        case '>':
            out += "&gt;";
            return;
        case '"':
            out += "&quot;";
            return;
        case '\'':
            out += "&apos;";
            return;
        default:
            break;
    }
    if (c <= 0xFF) {
        out += static_cast<char>(static_cast<unsigned char>(c));
    } else {
        out += "&#";
        out += std::to_string(c);
        out += ';';
    }
}

}  // namespace

std::string kmlIconUrl(std::string_view path) {
    std::string url(kKmlIconServer);
    url += path;
    return url;
}

std::string kmlOpaqueColor(std::string_view bbggrr) {
    std::string color("ff");
    color += bbggrr;
    return color;
}

void setKmlNumberFormat(std::ostream& out, int decimals) {
    out.setf(std::ios::fixed, std::ios::floatfield);
    out.precision(decimals);
}

void writeKmlDocumentHead(std::ostream& out) {
    out << kKmlXmlDeclaration << '\n';
    out << "<kml xmlns=\"" << kKmlNamespace << "\">\n";
    out << "<Document>\n";
}

void writeKmlDocumentEnd(std::ostream& out) {
    out << "</Document>\n";
    out << "</kml>\n";
}

void writeKmlFolderHead(std::ostream& out, int indent, std::string_view id, std::string_view title) {
    tabs(out, indent);
    out << "<Folder id=\"" << kmlEscapeText(id) << "\">\n";
    tabs(out, indent + 1);
    out << "<name>" << kmlEscapeText(title) << "</name>\n";
    tabs(out, indent + 1);
    out << "<visibility>1</visibility>\n";
    tabs(out, indent + 1);
    out << "<open>0</open>\n";
}

void writeKmlViewBlock(std::ostream& out, int indent, double latitude, double longitude) {
    tabs(out, indent);
    out << "<LookAt>\n";
    tabs(out, indent + 1);
    out << "<longitude>" << longitude << "</longitude>\n";
    tabs(out, indent + 1);
    out << "<latitude>" << latitude << "</latitude>\n";
    tabs(out, indent + 1);
    out << "<range>50.0</range>\n";
    tabs(out, indent + 1);
    out << "<tilt>0.0</tilt>\n";
    tabs(out, indent);
    out << "</LookAt>\n";
    tabs(out, indent);
    out << "<Point>\n";
    tabs(out, indent + 1);
    out << "<coordinates>" << longitude << ',' << latitude << ",0</coordinates>\n";
    tabs(out, indent);
    out << "</Point>\n";
}

void writeKmlLineStart(std::ostream& out, int indent, std::string_view bbggrr) {
    writeKmlLineStartColor(out, indent, kmlOpaqueColor(bbggrr));
}

void writeKmlLineStartColor(std::ostream& out, int indent, std::string_view aabbggrr) {
    tabs(out, indent);
    out << "<Style>\n";
    tabs(out, indent + 1);
    out << "<LineStyle>\n";
    tabs(out, indent + 2);
    out << "<color>" << aabbggrr << "</color>\n";
    tabs(out, indent + 2);
    out << "<width>4</width>\n";
    tabs(out, indent + 1);
    out << "</LineStyle>\n";
    tabs(out, indent);
    out << "</Style>\n";
    tabs(out, indent);
    out << "<LineString>\n";
    tabs(out, indent + 1);
    out << "<tessellate>0</tessellate>\n";
    tabs(out, indent + 1);
    out << "<altitudeMode>clampedToGround</altitudeMode>\n";
    tabs(out, indent + 1);
    out << "<coordinates>\n";
}

void writeKmlLineEnd(std::ostream& out, int indent) {
    tabs(out, indent + 1);
    out << "</coordinates>\n";
    tabs(out, indent);
    out << "</LineString>\n";
}

void writeKmlVertex(std::ostream& out, int indent, double latitude, double longitude) {
    tabs(out, indent);
    out << longitude << ',' << latitude << ",0\n";
}

std::string kmlEscapeText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        const size_t len = decodeUtf8(text, i, cp);
        if (len == 0) {
            // Plain ASCII, or a byte that is not UTF-8: take it as ISO-8859-1.
            appendChar(out, static_cast<unsigned char>(text[i]));
            ++i;
        } else {
            appendChar(out, cp);
            i += len;
        }
    }
    return out;
}

}  // namespace kmlMatch
