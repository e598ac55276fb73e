# The qmonitor program: the start-up of run/ and the editors of ui/.
add_executable(qmonitor ${CMAKE_CURRENT_SOURCE_DIR}/main.cc)
target_link_libraries(qmonitor PRIVATE quillon_monitor_run quillon_monitor_ui quillon::desktop Qt6::Widgets)
install(TARGETS qmonitor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
