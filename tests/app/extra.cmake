# The spatial index packer lives in the GeoPackage module, which the app tests do not link; they
# build it in with SQLite.
find_package(SQLite3 REQUIRED)
target_sources(test_app PRIVATE ${PROJECT_SOURCE_DIR}/app/gpkg/gpkg_rtree.cpp)
target_link_libraries(test_app PRIVATE SQLite::SQLite3)
