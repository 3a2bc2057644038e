# The map in a browser: drawing a large root submap, and an event's way from its post to the page.
# Its targets are absolute times (under 1 s, under 100 ms at p99), not ratios.
if(KESTARA_TESTS)
  add_executable(mapview_bench ${CMAKE_CURRENT_LIST_DIR}/mapview_bench.cc)
  target_link_libraries(mapview_bench PRIVATE ovw_admin testsupport nlohmann_json::nlohmann_json)
  add_dependencies(mapview_bench mapview ovw_tool)
endif()
