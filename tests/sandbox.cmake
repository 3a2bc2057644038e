# The daemons under strace, held against the sandbox of their units in deploy/.
kestara_test(sandbox_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/sandbox_test.cc
  TIMEOUT 120)
if(TARGET sandbox_test)
  add_dependencies(sandbox_test tavrin quenby ferrow mapview ovw_tool)
  if(KESTARA_SANITIZE)
    target_compile_definitions(sandbox_test PRIVATE KESTARA_SANITIZED)
  endif()
endif()
