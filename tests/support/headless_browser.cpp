#include "headless_browser.h"

#include <png.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "test_support.h"

namespace karvel_test {
namespace {

std::string quoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string chromium() {
    const char* chosen = std::getenv("KARVEL_CHROMIUM");
    return chosen != nullptr && *chosen != '\0' ? chosen : "chromium";
}

// One headless run on `url` with a profile of its own (parallel runs do not share one) and every
// host name unresolvable, so a page that reached for the network would show it.
CommandResult runBrowser(const std::string& action, const std::string& url, const std::string& folder) {
    const std::string command =
        quoted(chromium()) + " --headless --no-sandbox --disable-gpu --disable-dev-shm-usage --no-first-run" +
        " --disable-extensions --disable-background-networking --hide-scrollbars --mute-audio" +
        " --host-resolver-rules='MAP * ~NOTFOUND' --user-data-dir=" + quoted(folder + "/profile") +
        " --virtual-time-budget=5000 " + action + " " + quoted(url);
    return runCommand(command, folder, RunLimits{.seconds = 90});
}

std::string fileUrl(const std::string& path) {
    return "file://" + std::filesystem::absolute(path).string();
}

}  // namespace

std::optional<std::string> browserUnavailable() {
    static const std::optional<std::string> reason = []() -> std::optional<std::string> {
        TempDir dir;
        const CommandResult r =
            runBrowser("--dump-dom", "data:text/html,<body data-probe=yes></body>", dir.str());
        if (r.out.find("data-probe=\"yes\"") != std::string::npos) return std::nullopt;
        std::string why = r.err.substr(0, r.err.find('\n'));
        if (r.exitCode == 127) why = "no " + chromium() + " on the PATH";
        return "headless " + chromium() + " did not start (exit " + std::to_string(r.exitCode) + "): " + why;
    }();
    return reason;
}

BrowserPage renderedDom(const std::string& htmlFile) {
    TempDir dir;
    const CommandResult r = runBrowser("--dump-dom", fileUrl(htmlFile), dir.str());
    return BrowserPage{r.exitCode == 0 && r.out.find("<body") != std::string::npos, r.out, r.err};
}

std::optional<Screenshot> screenshot(const std::string& htmlFile, int width, int height) {
    TempDir dir;
    const std::string png = dir / "shot.png";
    const CommandResult r = runBrowser("--window-size=" + std::to_string(width) + "," +
                                           std::to_string(height) + " --screenshot=" + quoted(png),
                                       fileUrl(htmlFile), dir.str());
    if (r.exitCode != 0 || !std::filesystem::exists(png)) return std::nullopt;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, png.c_str())) return std::nullopt;
    image.format = PNG_FORMAT_RGB;
    Screenshot shot{static_cast<int>(image.width), static_cast<int>(image.height), {}};
    shot.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, shot.rgb.data(), 0, nullptr)) return std::nullopt;
    return shot;
}

size_t Screenshot::count(uint8_t r, uint8_t g, uint8_t b, int leftOf) const {
    size_t n = 0;
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
        const int x = static_cast<int>(i / 3 % static_cast<size_t>(width));
        n += x < leftOf && rgb[i] == r && rgb[i + 1] == g && rgb[i + 2] == b;
    }
    return n;
}

std::optional<std::string> bodyAttribute(const std::string& dom, const std::string& name) {
    std::smatch body;
    if (!std::regex_search(dom, body, std::regex("<body[^>]*>"))) return std::nullopt;
    const std::string tag = body.str();
    std::smatch value;
    if (!std::regex_search(tag, value, std::regex("\\s" + name + "=\"([^\"]*)\""))) return std::nullopt;
    return value[1].str();
}

}  // namespace karvel_test
