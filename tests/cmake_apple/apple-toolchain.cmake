# Configures kestro-update as if for macOS, on Linux, with a host compiler (clang++ unless
# CMAKE_CXX_COMPILER is given), so that tests/cmake_apple/check.sh can read the link command
# CMake generates for an Apple build. Nothing is built with it: there is no macOS SDK or
# Mach-O linker here.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER clang++)
endif()
# CMake's compiler checks would otherwise link a test program with the Darwin link flags,
# which the host's ELF linker does not know.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
