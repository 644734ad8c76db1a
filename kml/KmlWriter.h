// A general KML 2.0 writer for road maps, traces and matching diagnostics. One writer is one
// document: construct it on a file, add folders with the build and add operations, then
// closeDocument().
#pragma once

#include <cstdint>
#include <fstream>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "geometry/geometry.h"
#include "map/maps.h"
#include "traces/path.h"
#include "traces/route.h"

namespace mapRepresentation {
class AtomicFile;
}  // namespace mapRepresentation

class KmlWriter : public std::ofstream {
public:
    // KML colours (aabbggrr): white, magenta, blue, green, red.
    std::vector<std::string> colors;

    // Starts the document. It is written beside fileName and replaces fileName only when
    // closeDocument() completes it; a writer destroyed before that leaves any earlier file as it
    // was. When the file cannot be created the stream is left failed and writes are lost.
    explicit KmlWriter(const std::string& fileName);
    ~KmlWriter() override;
    KmlWriter(const KmlWriter&) = delete;
    KmlWriter& operator=(const KmlWriter&) = delete;

    // Ends the document and puts it in place. False when it could not be written completely
    // (the earlier file, if any, is then unchanged).
    bool closeDocument();
    // True while the document takes text: its file was created and closeDocument has not finished
    // it. The stream writes through the temporary file, so the file stream's own answer would
    // always be false.
    bool is_open() const { return documentOpen; }

    void openFolder(const std::string& name);
    void closeFolder();

    std::string getColor() const;
    // Indices outside 0..4 wrap around (taken as unsigned, modulo the colour count).
    std::string getColor(int i) const;
    void setColor(int i);
    int getColorInt() const;

    void buildMap(const mapRepresentation::Map& map, const std::string& name, int colorIndex);
    void buildTrace(const Route& route, const std::string& name, int colorIndex);
    void buildUnmatchedTrace(const Route& route, const std::vector<_unmatchinfo*>& unmatched,
                             const std::string& name);
    void addMatchInfo(const std::pair<_position, _position>& match, double distance);
    void addDistanceInfo(int id1, const Point& p1, int id2, const Point& p2, double distance, int zone,
                         char band);
    void addPointWindow(const std::string& name, const std::vector<std::pair<Point, double>>& points,
                        int zone, char band);

    // The chain from linkId through nodes with exactly one link in and one out, in walking order
    // (linkId first). A closed ring ends before its start link comes round again.
    static std::vector<int> navigateForward(const mapRepresentation::Map& map, int linkId);
    static std::vector<int> navigateBackward(const mapRepresentation::Map& map, int linkId);
    // The links that carry an information arrow: a sample of every chain that leaves or enters a
    // junction, merged into one list by the ordered-list rule (SampleMergeList), in n log n.
    static std::list<int> getLinksToDraw(const mapRepresentation::Map& map);
    // Every 3rd, 4th, 10th or 30th link of a walk (by its length), plus its last link when the
    // last one taken lies at least 6 links before the end.
    static std::list<int> selectLinksFromPath(const std::vector<int>& path);

private:
    // The temporary file the stream writes into until closeDocument renames it.
    std::unique_ptr<mapRepresentation::AtomicFile> file;
    bool documentOpen = false;

    const std::string& colorAt(int i) const;
    void writeLinkInfo(const mapRepresentation::Map& map, int linkId);
    void writeLineWithMarker(const std::string& lineName, const _position& a, const _position& b,
                             const std::string& markerText);
    void writeIconPlacemark(const std::string& description, const char* iconPath, const _position& where);
};
