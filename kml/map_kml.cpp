// Map::saveToKml lives in the kml library, so that the map library never depends on KML output.
#include <iostream>

#include "kml/KmlWriter.h"
#include "map/maps.h"

namespace mapRepresentation {

bool Map::saveToKml(std::string path) const {
    KmlWriter writer(path);
    writer.buildMap(*this, "Map", 0);
    if (writer.closeDocument()) return true;
    std::cout << "ERROR: could not write KML file " << path << "; the previous file is unchanged."
              << std::endl;
    return false;
}

}  // namespace mapRepresentation
