# A map open with 64 flagged nodes through mossick, against the bare library work.
if(KESTARA_TESTS)
  add_executable(mapopen_bench ${CMAKE_CURRENT_LIST_DIR}/mapopen_bench.cc)
  target_link_libraries(mapopen_bench PRIVATE kshared testsupport)
  add_dependencies(mapopen_bench mossick ovw_tool)
endif()
