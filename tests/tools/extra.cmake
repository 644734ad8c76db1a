# ---- karvel-osm2map: the importer tests link the importer library and run the program. ----
if(TARGET karvel_osm)
  target_link_libraries(test_tools PRIVATE karvel_osm)
  add_dependencies(test_tools karvel-osm2map)
endif()
# ---- end of karvel-osm2map ----

# ---- karvel-sim / karvel-eval: their tests link the libraries and also run the programs. ----
if(TARGET karvel_eval)
  target_link_libraries(test_tools PRIVATE karvel_eval karvel_sim)
  add_dependencies(test_tools karvel-sim karvel-eval)
endif()
# ---- end of karvel-sim / karvel-eval ----
