# Builds against musl: the C with musl-gcc, the C++ with clang (Debian's g++
# has no musl target) on libc++'s headers and musl's, linked by musl-gcc.
# Needs musl-tools, clang and libc++-dev. cmake --workflow --preset musl
set(CMAKE_C_COMPILER musl-gcc)
set(CMAKE_CXX_COMPILER clang++)
execute_process(COMMAND clang++ -print-resource-dir OUTPUT_VARIABLE clang OUTPUT_STRIP_TRAILING_WHITESPACE)
set(CMAKE_CXX_FLAGS_INIT "--target=x86_64-linux-musl -nostdinc -nostdinc++ -isystem /usr/include/c++/v1 \
-isystem ${clang}/include -isystem /usr/include/x86_64-linux-musl")
set(CMAKE_CXX_LINK_EXECUTABLE "musl-gcc <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
