// The shared library's objects all come from nv_internal; CMake needs one source of its own.
