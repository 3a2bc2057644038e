# The map selection lookup, linked into the gateway and the selection name server.
target_sources(kshared PRIVATE ${CMAKE_CURRENT_LIST_DIR}/selection.cc)

kestara_test(selection_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/selection_test.cc LIBS kshared
             TIMEOUT 60)
if(TARGET selection_test)
  # The tests set up sessions, maps and selections with the `ovw` tool.
  add_dependencies(selection_test ovw_tool)
endif()
