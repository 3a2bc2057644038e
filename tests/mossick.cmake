# The console map application against a real map session (`ovw`) and real agents (snmpd).
kestara_test(mossick_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/mossick_test.cc LIBS ovw TIMEOUT 180 BOTH_DATABASES)
add_dependencies(mossick_test mossick ovw_tool)
