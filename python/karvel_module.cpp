// The Python module "karvel": api/karvel.h for Python, with the columns of a trace and of a result as
// NumPy arrays. Matching and loading release the GIL, so threads over one Map run at once.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "api/karvel.h"
#include "map/compact_map.h"

namespace py = pybind11;

namespace {

using Column = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A one-dimensional column of numbers; datetime64 times become seconds since 1970.
std::optional<Column> columnOf(const py::object& value, const char* name) {
    if (value.is_none()) return std::nullopt;
    py::object numbers = value;
    if (py::isinstance<py::array>(value) && value.cast<py::array>().dtype().kind() == 'M')
        numbers = value.attr("astype")("datetime64[ns]").attr("astype")("int64").attr("__truediv__")(1e9);
    Column column = Column::ensure(numbers);
    if (!column) {
        PyErr_Clear();
        throw py::value_error(std::string(name) + " must be a sequence of numbers");
    }
    if (column.ndim() != 1) throw py::value_error(std::string(name) + " must be one-dimensional");
    return column;
}

std::span<const double> spanOf(const std::optional<Column>& column) {
    if (!column) return {};
    return {column->data(), static_cast<size_t>(column->size())};
}

karvel::Params paramsOf(std::optional<double> radius, std::optional<double> sigma,
                        std::optional<int> candidates) {
    karvel::Params p = karvel::kDefaultParams;
    if (radius) p = p.withRadius(*radius);
    if (sigma) p.sigma = *sigma;
    if (candidates) p.candidates = *candidates;
    return p;
}

karvel::Result match(const karvel::Map& map, const py::object& lat, const py::object& lon,
                     const py::object& time, const py::object& speed, const py::object& course,
                     std::optional<double> radius, std::optional<double> sigma, std::optional<int> candidates,
                     const std::string& name) {
    const std::optional<Column> columns[] = {columnOf(time, "time"), columnOf(lat, "lat"),
                                             columnOf(lon, "lon"), columnOf(speed, "speed"),
                                             columnOf(course, "course")};
    if (!columns[1] || !columns[2]) throw py::value_error("lat and lon are needed");
    const karvel::TraceView trace{spanOf(columns[0]), spanOf(columns[1]), spanOf(columns[2]),
                                  spanOf(columns[3]), spanOf(columns[4]), name};
    const karvel::Params params = paramsOf(radius, sigma, candidates);
    const py::gil_scoped_release whileMatching;
    return map.match(trace, params);
}

// A result's rows are made at the first look at them; other threads run meanwhile.
const std::vector<karvel::Fix>& fixesOf(const karvel::Result& r) {
    const py::gil_scoped_release measuring;
    return r.fixes();
}
const std::vector<karvel::DrivenLink>& routeOf(const karvel::Result& r) {
    const py::gil_scoped_release measuring;
    return r.route();
}

template <typename T, typename Get>
py::array_t<T> fixColumn(const karvel::Result& r, Get get) {
    const std::vector<karvel::Fix>& fixes = fixesOf(r);
    py::array_t<T> out(static_cast<py::ssize_t>(fixes.size()));
    T* data = out.mutable_data();
    for (size_t i = 0; i < fixes.size(); ++i) data[i] = get(fixes[i]);
    return out;
}

py::array_t<double> owned(const std::vector<double>& values) {
    return py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
}

py::dict linkOf(const karvel::DrivenLink& l) {
    py::dict d;
    d["piece"] = l.piece;
    d["link"] = l.link;
    d["way_id"] = l.wayId;
    d["name"] = l.name;
    d["ref"] = l.ref;
    d["highway"] = l.highway;
    d["maxspeed"] = l.maxspeed;
    d["oneway"] = l.oneway;
    d["entered"] = l.entered;
    d["left"] = l.left;
    d["metres"] = l.metres;
    d["speed"] = l.speed;
    return d;
}

}  // namespace

PYBIND11_MODULE(karvel, module) {
    module.doc() = "Map matching of GPS traces onto a road map with karvel-match's hidden-Markov matcher";

    static py::exception<karvel::FileError> error(module, "Error", PyExc_OSError);
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const karvel::ArgumentError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const karvel::FileError& e) {
            error(e.what());
        } catch (const karvel::Error& e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        }
    });

    // A damaged slice of a map's compact file, met while matching, fails that call with the error
    // rather than ending the interpreter.
    mapRepresentation::CompactMap::onDamage(
        [](const std::string& message) { throw karvel::FileError(message); });

    py::class_<karvel::Trace>(module, "Trace", "A trace read from a GPX or NMEA log")
        .def_property_readonly("time", [](const karvel::Trace& t) { return owned(t.time); })
        .def_property_readonly("lat", [](const karvel::Trace& t) { return owned(t.latitude); })
        .def_property_readonly("lon", [](const karvel::Trace& t) { return owned(t.longitude); })
        .def_property_readonly("speed", [](const karvel::Trace& t) { return owned(t.speed); })
        .def_property_readonly("course", [](const karvel::Trace& t) { return owned(t.course); })
        .def_readonly("name", &karvel::Trace::name)
        .def("__len__", [](const karvel::Trace& t) { return t.latitude.size(); });

    module.def(
        "load_trace",
        [](const std::string& path) {
            const py::gil_scoped_release unlocked;
            return karvel::loadTrace(path);
        },
        py::arg("path"), "Reads a GPX (.gpx) or NMEA 0183 log as karvel-match does");

    py::class_<karvel::Result>(module, "Result", "What was matched: a column per fix, and the route driven")
        .def_property_readonly(
            "link",
            [](const karvel::Result& r) { return fixColumn<int32_t>(r, [](auto& f) { return f.link; }); })
        .def_property_readonly(
            "way_id",
            [](const karvel::Result& r) { return fixColumn<int64_t>(r, [](auto& f) { return f.wayId; }); })
        .def_property_readonly(
            "lat",
            [](const karvel::Result& r) { return fixColumn<double>(r, [](auto& f) { return f.latitude; }); })
        .def_property_readonly(
            "lon",
            [](const karvel::Result& r) { return fixColumn<double>(r, [](auto& f) { return f.longitude; }); })
        .def_property_readonly(
            "distance",
            [](const karvel::Result& r) { return fixColumn<double>(r, [](auto& f) { return f.distance; }); })
        .def_property_readonly(
            "offset",
            [](const karvel::Result& r) { return fixColumn<double>(r, [](auto& f) { return f.offset; }); })
        .def_property_readonly(
            "matched",
            [](const karvel::Result& r) { return fixColumn<bool>(r, [](auto& f) { return f.matched(); }); })
        .def_property_readonly(
            "piece",
            [](const karvel::Result& r) { return fixColumn<int32_t>(r, [](auto& f) { return f.piece; }); })
        .def_property_readonly("route_distance",
                               [](const karvel::Result& r) {
                                   return fixColumn<double>(r, [](auto& f) { return f.routeDistance; });
                               })
        .def_property_readonly(
            "speed",
            [](const karvel::Result& r) { return fixColumn<double>(r, [](auto& f) { return f.speed; }); })
        .def_property_readonly(
            "route",
            [](const karvel::Result& r) {
                py::list links;
                for (const karvel::DrivenLink& l : routeOf(r)) links.append(linkOf(l));
                return links;
            },
            "The links driven, in order: a dict per link with its road's OSM way and attributes")
        .def_property_readonly("matched_count", &karvel::Result::matchedCount)
        .def_property_readonly("problem", &karvel::Result::problem,
                               "Why nothing was matched when no fix lies near a road, else ''")
        .def(
            "to_geojson",
            [](const karvel::Result& r) {
                const py::gil_scoped_release unlocked;
                return r.toGeoJson();
            },
            "The GeoJSON FeatureCollection karvel-match --format geojson writes for this trace")
        .def("__len__", &karvel::Result::size);

    py::class_<karvel::Map>(module, "Map", "A road map, loaded once; any number of threads may match on it")
        .def(py::init([](const std::string& path) {
                 const py::gil_scoped_release unlocked;
                 return karvel::Map(path);
             }),
             py::arg("path"), "A map file (data/map.txt), with its link table beside it when there is one")
        .def_static(
            "from_osm",
            [](const std::string& path) {
                const py::gil_scoped_release unlocked;
                return karvel::Map::fromOsm(path);
            },
            py::arg("path"), "The car roads of an OpenStreetMap extract (.osm, .osm.gz, .osm.bz2, .osm.pbf)")
        .def_property_readonly("node_count", &karvel::Map::nodeCount)
        .def_property_readonly("link_count", &karvel::Map::linkCount)
        .def("match", &match, py::arg("lat"), py::arg("lon"), py::arg("time") = py::none(), py::kw_only(),
             py::arg("speed") = py::none(), py::arg("course") = py::none(), py::arg("radius") = py::none(),
             py::arg("sigma") = py::none(), py::arg("candidates") = py::none(), py::arg("name") = "trace",
             "Matches a trace: latitudes and longitudes (degrees), times (seconds since 1970 or datetime64), "
             "optional speeds (m/s) and courses (degrees); the parameters of karvel-match")
        .def(
            "match_trace",
            [](const karvel::Map& map, const karvel::Trace& trace, std::optional<double> radius,
               std::optional<double> sigma, std::optional<int> candidates) {
                const karvel::Params params = paramsOf(radius, sigma, candidates);
                const py::gil_scoped_release unlocked;
                return map.match(trace.view(), params);
            },
            py::arg("trace"), py::kw_only(), py::arg("radius") = py::none(), py::arg("sigma") = py::none(),
            py::arg("candidates") = py::none(), "Matches a trace read by load_trace");
}
