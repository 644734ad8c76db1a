// Results as a GeoPackage (through GDAL/OGR): a layer "fixes" of points with the per-fix columns of
// the CSV and a layer "links" of line strings with the per-driven-link columns, in WGS 84. Every
// trace of a batch goes into the same two layers, so that SQL can query a whole batch.
//
// GDAL brings a hundred shared libraries, whose loading would add a tenth of a second to every run
// of every program; the writer therefore lives in a module of its own (karvel-gpkg.so, beside the
// programs or in LIBDIR/karvel), loaded only when a GeoPackage is asked for.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "app/trace_rows.h"
#include "traces/route.h"

class GpkgWriter {
public:
    virtual ~GpkgWriter() = default;
    virtual void add(const Route& route, const TraceRows& rows) = 0;
    // Closes the GeoPackage (on the first call) and copies its bytes to `out`; false with `error`
    // when it could not be made or copied.
    virtual bool finishInto(std::ostream& out, std::string& error) = 0;
};

// A writer from the module, or null with `error` saying why there is none.
namespace matchApp {
std::unique_ptr<GpkgWriter> openGpkgWriter(std::string& error);
}  // namespace matchApp

// The module's one entry point.
extern "C" void karvelOpenGpkgWriter(std::unique_ptr<GpkgWriter>& writer);
