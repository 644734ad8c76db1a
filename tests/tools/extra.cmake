# The tool tests link the tools' libraries and run the programs, so those are built first.
target_link_libraries(test_tools PRIVATE karvel_osm karvel_eval karvel_sim)
add_dependencies(test_tools karvel-match karvel-genetic karvel-osm2map karvel-sim karvel-eval karvel-mapbuild karvel-export)
# The join-back test reads the OSM extracts with libosmium itself.
find_package(EXPAT REQUIRED)
find_package(ZLIB REQUIRED)
find_package(BZip2 REQUIRED)
target_link_libraries(test_tools PRIVATE EXPAT::EXPAT ZLIB::ZLIB BZip2::BZip2)
