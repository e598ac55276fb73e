// The shared library is made of the whole engines_impl archive; CMake wants
// at least one source of its own.
