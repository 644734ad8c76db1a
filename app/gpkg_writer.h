// Results as a GeoPackage (through GDAL/OGR): a layer "fixes" of points with the per-fix columns of
// the CSV and a layer "links" of line strings with the per-driven-link columns, in WGS 84. Every
// trace of a batch goes into the same two layers, so that SQL can query a whole batch.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "app/trace_rows.h"
#include "traces/route.h"

class GpkgWriter {
public:
    // Creates the GeoPackage in a private temporary folder; a failure shows at finishInto.
    GpkgWriter();
    ~GpkgWriter();
    GpkgWriter(const GpkgWriter&) = delete;
    GpkgWriter& operator=(const GpkgWriter&) = delete;

    void add(const Route& route, const TraceRows& rows);
    // Closes the GeoPackage (on the first call) and copies its bytes to `out`; false with `error`
    // when it could not be made or copied.
    bool finishInto(std::ostream& out, std::string& error);

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
