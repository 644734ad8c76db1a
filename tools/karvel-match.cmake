target_compile_definitions(karvel-match PRIVATE KARVEL_VERSION="${PROJECT_VERSION}")
