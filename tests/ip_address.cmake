# "getIpAddress" against real agents in network namespaces that the tests make.
kestara_test(ip_address_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ip_address_test.cc TIMEOUT 180)
add_dependencies(ip_address_test tavrin)
