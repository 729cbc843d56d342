# Cross build for linux-arm64 with Debian's cross toolchain
# (g++-aarch64-linux-gnu) and the arm64 JsonCpp of multiarch
# (libjsoncpp-dev:arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_STRIP aarch64-linux-gnu-strip)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# Only the arm64 package's configuration: the host's would link x86-64 code.
set(jsoncpp_DIR /usr/lib/aarch64-linux-gnu/cmake/jsoncpp)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
