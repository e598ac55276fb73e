# Benchmarks of the server library: whole CGI processes, measured by the
# scripts cgi_startup.sh and upload_intake.sh (hyperfine, /usr/bin/time).
# Included from bench/CMakeLists.txt.
add_executable(bench_cgi_constant ${CMAKE_CURRENT_LIST_DIR}/cgi_constant.c)
add_executable(bench_cgi_cxx ${CMAKE_CURRENT_LIST_DIR}/cgi_cxx.cc)
add_executable(bench_cgi_page ${CMAKE_CURRENT_LIST_DIR}/cgi_page.cc)
target_link_libraries(bench_cgi_page PRIVATE qserver)
add_executable(bench_upload_qserver ${CMAKE_CURRENT_LIST_DIR}/upload_qserver.cc)
target_link_libraries(bench_upload_qserver PRIVATE qserver)

# GNU cgicc (Debian's libcgicc-dev) is the yardstick of the upload intake.
find_path(QUILLON_CGICC_INCLUDE cgicc/Cgicc.h)
find_library(QUILLON_CGICC_LIBRARY cgicc)
if(QUILLON_CGICC_INCLUDE AND QUILLON_CGICC_LIBRARY)
  add_executable(bench_upload_cgicc ${CMAKE_CURRENT_LIST_DIR}/upload_cgicc.cc)
  target_include_directories(bench_upload_cgicc PRIVATE ${QUILLON_CGICC_INCLUDE})
  target_link_libraries(bench_upload_cgicc PRIVATE ${QUILLON_CGICC_LIBRARY})
else()
  message(STATUS "libcgicc-dev not found: bench_upload_cgicc is not built")
endif()
add_executable(bench_intake_shapes ${CMAKE_CURRENT_LIST_DIR}/intake_shapes.cc)
target_link_libraries(bench_intake_shapes PRIVATE qserver)
# The 1,000-row page (table_page.sh).
if(TARGET quillon_html)
  add_executable(bench_table_page ${CMAKE_CURRENT_LIST_DIR}/table_page.cc)
  target_link_libraries(bench_table_page PRIVATE qserver quillon_html)
endif()
# The same page on the serving loop, beside PHP-FPM (fastcgi_vs_php.sh).
if(TARGET quillon_html AND TARGET qserver)
  add_executable(bench_table_page_fcgi ${CMAKE_CURRENT_LIST_DIR}/table_page_fcgi.cc)
  target_link_libraries(bench_table_page_fcgi PRIVATE qserver quillon_html)
  # Its bytes, fixed, through the same loop: what no page work leaves.
  add_executable(bench_fixed_page ${CMAKE_CURRENT_LIST_DIR}/fixed_page.cc)
  target_link_libraries(bench_fixed_page PRIVATE qserver)
endif()
# The bare libfcgi loop that answers fixed bytes: the ceiling beside them.
find_package(PkgConfig REQUIRED)
pkg_check_modules(BENCH_FCGI REQUIRED IMPORTED_TARGET fcgi)
add_executable(bench_fcgi_fixed ${CMAKE_CURRENT_LIST_DIR}/fcgi_fixed.c)
target_link_libraries(bench_fcgi_fixed PRIVATE PkgConfig::BENCH_FCGI)
