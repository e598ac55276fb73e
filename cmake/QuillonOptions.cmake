# Warnings and sanitizers shared by every target of the tree.
add_compile_options(-Wall -Wextra -Wshadow)
if(QUILLON_WERROR)
  add_compile_options(-Werror)
endif()

if(QUILLON_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(QUILLON_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QUILLON_FUZZ needs clang (configure with CXX=clang++)")
  endif()
  # The libraries the fuzz targets instrument take the sanitizers' runtime
  # from the program that loads them: every program of this tree brings it,
  # and the shared libraries linking them leave those symbols undefined, so
  # that the whole tree builds here too.
  add_link_options(-fsanitize=address,undefined)
  set(QUILLON_NO_UNDEFINED "")
else()
  # A shared library says at link time what it lacks, not at load time.
  set(QUILLON_NO_UNDEFINED -Wl,--no-undefined)
endif()

# Component libraries export only what is marked; everything else stays inside.
set(CMAKE_CXX_VISIBILITY_PRESET hidden)
set(CMAKE_VISIBILITY_INLINES_HIDDEN ON)
# What a library exports it also calls itself (a tag's release, its
# destructor, a document link's count): without this, GCC routes each such
# call through the PLT in case another library replaces the function, and
# cannot inline it. Nothing of ours is meant to be replaced that way.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-fno-semantic-interposition)
endif()

# Programs and libraries find their siblings in the build tree and, once
# installed, in the library directory.
set(CMAKE_BUILD_RPATH_USE_ORIGIN ON)
set(CMAKE_INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR};$ORIGIN")
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)
