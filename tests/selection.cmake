# System tests of the selection name server and of "getHostName" across two hosts.
kestara_test(quenby_test SOURCES quenby_test.cc TIMEOUT 120)
add_dependencies(quenby_test quenby)

kestara_test(hostname_test SOURCES hostname_test.cc LIBS ovw TIMEOUT 180)
add_dependencies(hostname_test quenby tavrin)
