# The qmonitor program: the start-up of run/ and the editors of ui/, joined
# by the main window's debug run (a library of its own, for its tests).
add_library(quillon_monitor_app STATIC ${CMAKE_CURRENT_SOURCE_DIR}/debug_menu.cc)
target_link_libraries(quillon_monitor_app PUBLIC quillon_monitor_run quillon_monitor_ui Qt6::Widgets)
target_include_directories(quillon_monitor_app PUBLIC ${PROJECT_SOURCE_DIR})

add_executable(qmonitor ${CMAKE_CURRENT_SOURCE_DIR}/main.cc)
target_link_libraries(qmonitor PRIVATE quillon_monitor_app quillon::desktop Qt6::Widgets)
install(TARGETS qmonitor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
