# The PostgreSQL layer of the OVw store is part of the ovw library; ovw_pg names it with its
# headers for the programs that use the layer directly (tests, benchmarks).
add_library(ovw_pg INTERFACE)
target_include_directories(ovw_pg INTERFACE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(ovw_pg INTERFACE ovw PkgConfig::LIBPQ)

# Its tests, each against a server of its own.
foreach(t pg_db_test pg_schema_test pg_wake_test)
  kestara_test(${t} SOURCES ${CMAKE_CURRENT_LIST_DIR}/${t}.cc LIBS ovw_pg TIMEOUT 120)
endforeach()

# The store on a server: lost connections, locks held elsewhere, what check() finds.
kestara_test(pg_store_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/pg_store_test.cc LIBS ovw_pg TIMEOUT 120)
