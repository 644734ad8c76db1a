# karvel-sim only parses its options; the simulator is the karvel_sim library.
if(NOT TARGET karvel_sim)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tools/sim ${PROJECT_BINARY_DIR}/tools/sim)
endif()
target_link_libraries(${name} PRIVATE karvel_sim)
