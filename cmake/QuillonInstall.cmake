# Installation and the exported package: after `cmake --install`, a user
# project says find_package(quillon) and links quillon::runtime (and the
# other targets) with their include directories and dependencies.
#
# Included by the top-level CMakeLists after every subsystem, so each target
# that exists is known here; parts not yet in the tree are simply left out.
include(CMakePackageConfigHelpers)

set(QUILLON_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/quillon
    CACHE STRING "Where the package configuration files are installed")

# Shared libraries carry the major version in their SONAME (libqserver.so.3),
# so that an incompatible release can be installed beside this one and a
# distribution package can name its library package after it. The registry
# records the file a library was loaded from, so registrations name the
# versioned file.
set(quillon_versioned_libraries quillon_runtime quillon_serving qserver qclient quillon_engines quillon_grid)
foreach(target IN LISTS quillon_versioned_libraries)
  if(TARGET ${target})
    set_target_properties(${target} PROPERTIES
      VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  endif()
endforeach()

# Component libraries that programs never link but a registry loads: they
# are installed and registered like the others, without a development link.
foreach(target quillon_engines quillon_grid)
  if(TARGET ${target})
    install(TARGETS ${target} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)
  endif()
endforeach()

# What users get, as target=name (quillon::name once installed, the same
# name as the alias inside the tree): the runtime, the component libraries
# and the registration program. Add an entry when a library or program
# becomes public.
set(quillon_public_targets
  quillon_runtime=runtime
  qserver=server
  qclient=client
  qreg=qreg)

set(quillon_export_targets "")
foreach(entry IN LISTS quillon_public_targets)
  string(REPLACE "=" ";" entry "${entry}")
  list(GET entry 0 target)
  list(GET entry 1 export_name)
  if(TARGET ${target})
    list(APPEND quillon_export_targets ${target})
    set_target_properties(${target} PROPERTIES EXPORT_NAME ${export_name})
  endif()
endforeach()

# An exported target drags the targets of its link interface along (for a
# static library that includes its private dependencies, as $<LINK_ONLY:>):
# our own ones are exported with it, imported ones are collected so that the
# package configuration can find them again on the user's side.
set(quillon_imported_deps "")
set(quillon_queue ${quillon_export_targets})
while(quillon_queue)
  list(POP_FRONT quillon_queue target)
  get_target_property(links ${target} INTERFACE_LINK_LIBRARIES)
  if(NOT links)
    continue()
  endif()
  foreach(link IN LISTS links)
    string(REGEX REPLACE "^\\$<LINK_ONLY:(.+)>$" "\\1" link "${link}")
    if(NOT TARGET "${link}")
      continue()
    endif()
    get_target_property(aliased ${link} ALIASED_TARGET)
    if(aliased)
      set(link ${aliased})
    endif()
    get_target_property(imported ${link} IMPORTED)
    if(imported)
      list(APPEND quillon_imported_deps ${link})
    elseif(NOT link IN_LIST quillon_export_targets)
      list(APPEND quillon_export_targets ${link})
      list(APPEND quillon_queue ${link})
    endif()
  endforeach()
endwhile()
list(REMOVE_DUPLICATES quillon_imported_deps)

# Lines of the package configuration that bring the imported dependencies
# back: packages with a config or find module by their namespace; pkg-config
# targets (which remember no module name) are rebuilt from what they carry on
# this machine.
set(QUILLON_CONFIG_DEPENDENCIES "")
set(quillon_found_packages "")
foreach(dep IN LISTS quillon_imported_deps)
  string(REGEX MATCH "^([^:]+)::(.+)$" matched "${dep}")
  set(ns "${CMAKE_MATCH_1}")
  if(ns STREQUAL "PkgConfig")
    string(APPEND QUILLON_CONFIG_DEPENDENCIES
      "if(NOT TARGET ${dep})\n  add_library(${dep} INTERFACE IMPORTED)\n")
    foreach(prop INTERFACE_LINK_LIBRARIES INTERFACE_INCLUDE_DIRECTORIES
                 INTERFACE_COMPILE_OPTIONS INTERFACE_COMPILE_DEFINITIONS
                 INTERFACE_LINK_OPTIONS INTERFACE_LINK_DIRECTORIES)
      get_target_property(value ${dep} ${prop})
      if(value)
        string(APPEND QUILLON_CONFIG_DEPENDENCIES
          "  set_property(TARGET ${dep} PROPERTY ${prop} \"${value}\")\n")
      endif()
    endforeach()
    string(APPEND QUILLON_CONFIG_DEPENDENCIES "endif()\n")
  elseif(ns MATCHES "^(CURL|OpenSSL|Threads|Python|pybind11|Qt6|ODBC|SQLite3|PostgreSQL)$")
    if(NOT ns IN_LIST quillon_found_packages)
      list(APPEND quillon_found_packages ${ns})
      string(APPEND QUILLON_CONFIG_DEPENDENCIES "find_dependency(${ns})\n")
    endif()
  else()
    message(WARNING "quillon: the installed package needs ${dep}, which its "
                    "configuration does not know how to find; add it in "
                    "cmake/QuillonInstall.cmake")
  endif()
endforeach()

foreach(target IN LISTS quillon_export_targets)
  # Libraries exported along with the public ones: quillon_core is
  # quillon::core, as inside the tree.
  get_target_property(export_name ${target} EXPORT_NAME)
  if(NOT export_name)
    string(REGEX REPLACE "^quillon_" "" export_name ${target})
    set_target_properties(${target} PROPERTIES EXPORT_NAME ${export_name})
  endif()
  # A bare include directory inside the tree means nothing once installed
  # (and install(EXPORT) refuses it): it is kept for the build only, and the
  # installed headers come from INCLUDES DESTINATION below.
  get_target_property(includes ${target} INTERFACE_INCLUDE_DIRECTORIES)
  if(includes)
    set(rewritten "")
    foreach(dir IN LISTS includes)
      cmake_path(IS_PREFIX PROJECT_SOURCE_DIR "${dir}" NORMALIZE in_source)
      cmake_path(IS_PREFIX PROJECT_BINARY_DIR "${dir}" NORMALIZE in_binary)
      if(in_source OR in_binary)
        set(dir "$<BUILD_INTERFACE:${dir}>")
      endif()
      list(APPEND rewritten "${dir}")
    endforeach()
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${rewritten}")
  endif()
endforeach()

# Programs are exported on their own (quillonToolsTargets.cmake, read when
# present), so that a distribution can put them in a tools package: the
# library targets must not fail to load because a program is not installed.
set(quillon_export_libraries "")
set(quillon_export_programs "")
foreach(target IN LISTS quillon_export_targets)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    list(APPEND quillon_export_programs ${target})
  else()
    list(APPEND quillon_export_libraries ${target})
  endif()
endforeach()
if(quillon_export_libraries)
  install(TARGETS ${quillon_export_libraries}
    EXPORT quillonTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT quillonTargets
    NAMESPACE quillon::
    DESTINATION ${QUILLON_INSTALL_CMAKEDIR})
endif()
if(quillon_export_programs)
  install(TARGETS ${quillon_export_programs}
    EXPORT quillonToolsTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(EXPORT quillonToolsTargets
    NAMESPACE quillon::
    DESTINATION ${QUILLON_INSTALL_CMAKEDIR})
endif()

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/quillon
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/quillonConfig.cmake.in
  ${PROJECT_BINARY_DIR}/quillonConfig.cmake
  INSTALL_DESTINATION ${QUILLON_INSTALL_CMAKEDIR})
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/quillonConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/quillonConfig.cmake
  ${PROJECT_BINARY_DIR}/quillonConfigVersion.cmake
  DESTINATION ${QUILLON_INSTALL_CMAKEDIR})

# pkg-config: `pkg-config --cflags --libs quillon` builds a page on QServer's
# C++ door (the server library and the runtime).
# The prefix is the one `cmake --install --prefix` gives, known only then.
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(QUILLON_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(QUILLON_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(quillon_pc_destination "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
else()
  set(quillon_pc_destination "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/quillon.pc.in ${PROJECT_BINARY_DIR}/quillon.pc.in @ONLY)
# The file is made in a directory of its own per destination: two installs
# of one build tree at once (the test suites do that) must not swap prefixes.
install(CODE "
  file(READ \"${PROJECT_BINARY_DIR}/quillon.pc.in\" quillon_pc)
  string(REPLACE \"%PREFIX%\" \"\${CMAKE_INSTALL_PREFIX}\" quillon_pc \"\${quillon_pc}\")
  string(MD5 quillon_pc_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  set(quillon_pc_dir \"${PROJECT_BINARY_DIR}/pkgconfig/\${quillon_pc_dir}\")
  file(WRITE \"\${quillon_pc_dir}/quillon.pc\" \"\${quillon_pc}\")
  file(INSTALL \"\${quillon_pc_dir}/quillon.pc\" DESTINATION \"${quillon_pc_destination}\")
")

# Manual pages of the programs that are part of this build.
foreach(entry qreg=qreg quillon-serve=quillon_serve qmonitor=qmonitor)
  string(REPLACE "=" ";" entry "${entry}")
  list(GET entry 0 page)
  list(GET entry 1 target)
  if(TARGET ${target} OR (page STREQUAL "quillon-serve" AND EXISTS ${PROJECT_SOURCE_DIR}/serve))
    install(FILES ${PROJECT_SOURCE_DIR}/docs/man/${page}.1
            DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
