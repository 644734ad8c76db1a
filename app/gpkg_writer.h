// Results as a GeoPackage (through GDAL/OGR): a layer "fixes" of points with the per-fix columns of
// the CSV and a layer "links" of line strings with the per-driven-link columns, in WGS 84. Every
// trace of a batch goes into the same two layers, so that SQL can query a whole batch.
//
// The writer lives in a module of its own (karvel-gpkg.so, beside the programs or in LIBDIR/karvel),
// loaded only when a GeoPackage is asked for: it brings SQLite, which no other run needs. (GDAL,
// whose hundred shared libraries would add a tenth of a second to a run, is used only by the build,
// to make the empty file the writer starts from.)
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "app/trace_rows.h"
#include "traces/route.h"

namespace matchApp {

class GpkgWriter {
public:
    virtual ~GpkgWriter() = default;
    virtual void add(const Route& route, const TraceRows& rows) = 0;
    // Closes the GeoPackage (on the first call) and copies its bytes to `out`, or, for one built in
    // place, leaves it there; false with `error` when it could not be made or copied.
    virtual bool finishInto(std::ostream& out, std::string& error) = 0;
};

// A writer from the module, or null with `error` saying why there is none. With a `file` it builds
// the GeoPackage there (an AtomicFile's, see temporaryName) rather than in a scratch file to be copied.
std::unique_ptr<GpkgWriter> openGpkgWriter(std::string& error, const std::string& file = "");
}  // namespace matchApp

// The module's one entry point.
extern "C" void karvelOpenGpkgWriter(std::unique_ptr<matchApp::GpkgWriter>& writer, const std::string& file);
