# System tests of the selection name server and of "getHostName" across two hosts.
kestara_test(quenby_test SOURCES quenby_test.cc TIMEOUT 120 BOTH_DATABASES)
add_dependencies(quenby_test quenby)

kestara_test(hostname_test SOURCES hostname_test.cc LIBS ovw nlohmann_json::nlohmann_json
             TIMEOUT 180 BOTH_DATABASES)
add_dependencies(hostname_test quenby tavrin mossick ovw_tool)
