# One group shares the station's database: the programs as unprivileged users.
kestara_test(permissions_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/permissions_test.cc TIMEOUT 120)
if(TARGET permissions_test)
  add_dependencies(permissions_test ovw_tool mossick quenby)
endif()
