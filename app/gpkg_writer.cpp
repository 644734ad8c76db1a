#include "app/gpkg_writer.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <vector>

using matchApp::GpkgWriter;

namespace fs = std::filesystem;

namespace {

using Entry = void (*)(std::unique_ptr<GpkgWriter>&, const std::string&);

// Where the module may be: named by KARVEL_GPKG_MODULE, beside the program, in the build tree's
// bin/ (for the test programs), or where it is installed.
std::vector<fs::path> candidates() {
    std::vector<fs::path> paths;
    if (const char* named = std::getenv("KARVEL_GPKG_MODULE"); named != nullptr && *named != '\0')
        paths.emplace_back(named);
    std::error_code ec;
    const fs::path program = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const fs::path dir = program.parent_path();
        paths.push_back(dir / "karvel-gpkg.so");
        paths.push_back(dir / ".." / "bin" / "karvel-gpkg.so");
        paths.push_back(dir / ".." / KARVEL_LIBDIR / "karvel" / "karvel-gpkg.so");
    }
    return paths;
}

// The module's entry, loaded once per process (and never unloaded: its writers' code lives there).
Entry loadEntry(std::string& error) {
    static std::once_flag once;
    static Entry entry = nullptr;
    static std::string why;
    std::call_once(once, [] {
        why = "the GeoPackage module karvel-gpkg.so was not found beside the program";
        for (const fs::path& path : candidates()) {
            std::error_code ec;
            if (!fs::exists(path, ec)) continue;
            void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (module == nullptr) {
                const char* reason = dlerror();
                why = std::string("cannot load the GeoPackage module: ") + (reason ? reason : path.string());
                continue;
            }
            entry = reinterpret_cast<Entry>(dlsym(module, "karvelOpenGpkgWriter"));
            if (entry != nullptr) return;
            why = path.string() + " is no GeoPackage module";
        }
    });
    if (entry == nullptr) error = why;
    return entry;
}

}  // namespace

std::unique_ptr<GpkgWriter> matchApp::openGpkgWriter(std::string& error, const std::string& file) {
    std::unique_ptr<GpkgWriter> writer;
    if (const Entry entry = loadEntry(error)) entry(writer, file);
    return writer;
}
