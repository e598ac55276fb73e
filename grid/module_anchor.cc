// The shared library is made of the whole grid_impl archive; CMake wants at
// least one source of its own.
