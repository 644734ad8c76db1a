# karvel-osm2map only parses its options; the importer is the karvel_osm library.
if(NOT TARGET karvel_osm)
  add_subdirectory(${CMAKE_CURRENT_SOURCE_DIR}/osm ${CMAKE_CURRENT_BINARY_DIR}/osm)
  # bench_osm is defined after this folder; link it to the importer once every folder is read.
  function(karvel_link_osm_bench)
    if(TARGET bench_osm)
      target_link_libraries(bench_osm PRIVATE karvel_osm)
    endif()
  endfunction()
  cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL karvel_link_osm_bench)
endif()
target_link_libraries(${name} PRIVATE karvel_osm)
