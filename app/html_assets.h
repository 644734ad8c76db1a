// The script and style sheets the HTML pages carry inline, compiled in from app/html/ and from
// Leaflet as Debian installs it (libjs-leaflet).
#pragma once

namespace htmlView::assets {

extern const char* const leafletJs;
extern const char* const leafletCss;
extern const char* const viewJs;
extern const char* const viewCss;

}  // namespace htmlView::assets
