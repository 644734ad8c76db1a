# karvel-eval only parses its options; the scoring is the karvel_eval library.
if(NOT TARGET karvel_eval)
  add_subdirectory(${CMAKE_CURRENT_SOURCE_DIR}/eval ${CMAKE_CURRENT_BINARY_DIR}/eval)
endif()
target_link_libraries(${name} PRIVATE karvel_eval)
