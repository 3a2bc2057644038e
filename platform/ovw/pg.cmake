# The PostgreSQL layer of the OVw store (libpq), and its tests against a server of their own.
add_library(ovw_pg STATIC ${CMAKE_CURRENT_LIST_DIR}/pg_db.cc ${CMAKE_CURRENT_LIST_DIR}/pg_schema.cc
                          ${CMAKE_CURRENT_LIST_DIR}/pg_wake.cc)
target_include_directories(ovw_pg PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(ovw_pg PUBLIC platform_headers PkgConfig::LIBPQ PRIVATE ovw)

kestara_test(pg_db_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/pg_db_test.cc LIBS ovw_pg TIMEOUT 120)
kestara_test(pg_schema_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/pg_schema_test.cc LIBS ovw_pg TIMEOUT 120)
kestara_test(pg_wake_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/pg_wake_test.cc LIBS ovw_pg TIMEOUT 120)
