# The program tests in tests/tools run karvel-genetic, so it is built before them (the tests
# folder is read after this one, hence the deferred call).
function(karvel_genetic_before_tool_tests)
  if(TARGET test_tools)
    add_dependencies(test_tools karvel-genetic)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL karvel_genetic_before_tool_tests)
