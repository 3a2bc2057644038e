# The device probe with the flag maintenance, and the field-value lists.
target_sources(kshared PRIVATE ${CMAKE_CURRENT_LIST_DIR}/device.cc
                               ${CMAKE_CURRENT_LIST_DIR}/field_list.cc)

kestara_test(device_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/device_test.cc ${CMAKE_CURRENT_LIST_DIR}/device_probe_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/field_list_test.cc
  LIBS kshared
  TIMEOUT 180)
if(TARGET device_test)
  add_dependencies(device_test ovw_tool)
endif()
