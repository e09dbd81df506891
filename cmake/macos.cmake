# Builds one slice of kestro-update for macOS on Linux, x86_64 or arm64 as KESTRO_MACOS_ARCH
# says: Debian's clang and ld64.lld against the SDK that scripts/build-macos.sh prepares. Run that
# script rather than this file by hand; it builds each slice with this file and joins them. It
# passes KESTRO_MACOS_ARCH and CMAKE_OSX_ARCHITECTURES (the same one architecture), and
# KESTRO_MACOS_SDK, a folder holding
#   sysroot/         the macOS C headers, SDKSettings.json, and in usr/lib the text stubs
#                    libSystem.tbd and libc++.tbd, each for both architectures;
#   libcxx/include/  libc++'s headers.
# The project's CMakeLists.txt then takes its APPLE branch as on a Mac: the deployment target of
# each architecture and the section option come from there, not from here.
#
# The compile flags go through CMAKE_CXX_FLAGS_INIT. A CMAKE_CXX_FLAGS given on the command line
# replaces it, and with it the libc++ headers and the availability errors: do not pass one.
set(CMAKE_SYSTEM_NAME Darwin)

# try_compile runs this file again in its own project; hand it the SDK folder and architecture.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KESTRO_MACOS_SDK KESTRO_LLVM_VERSION
  KESTRO_MACOS_ARCH)
if(NOT KESTRO_MACOS_ARCH MATCHES "^(x86_64|arm64)$")
  message(FATAL_ERROR "KESTRO_MACOS_ARCH must be x86_64 or arm64, not '${KESTRO_MACOS_ARCH}'")
endif()
set(CMAKE_SYSTEM_PROCESSOR ${KESTRO_MACOS_ARCH})
if(NOT KESTRO_MACOS_SDK OR NOT IS_DIRECTORY "${KESTRO_MACOS_SDK}/sysroot")
  message(FATAL_ERROR "KESTRO_MACOS_SDK must name the SDK folder made by scripts/build-macos.sh")
endif()
if(NOT KESTRO_LLVM_VERSION)
  set(KESTRO_LLVM_VERSION 16)
endif()

set(CMAKE_CXX_COMPILER "clang++-${KESTRO_LLVM_VERSION}")
# The helper is C++ only; GoogleTest's own project also enables C.
set(CMAKE_C_COMPILER "clang-${KESTRO_LLVM_VERSION}")
set(CMAKE_AR "llvm-ar-${KESTRO_LLVM_VERSION}")
set(CMAKE_RANLIB "llvm-ranlib-${KESTRO_LLVM_VERSION}")
set(CMAKE_INSTALL_NAME_TOOL "llvm-install-name-tool-${KESTRO_LLVM_VERSION}")
# Without a Darwin triple clang emits ELF and ignores -arch. The triple carries no OS version:
# the deployment targets come from CMakeLists.txt alone.
set(CMAKE_CXX_COMPILER_TARGET ${KESTRO_MACOS_ARCH}-apple-darwin)
set(CMAKE_C_COMPILER_TARGET ${KESTRO_MACOS_ARCH}-apple-darwin)
# clang reads the SDK's C headers, SDKSettings.json and the libraries' stubs from here, and
# passes it to the linker as -syslibroot.
set(CMAKE_OSX_SYSROOT "${KESTRO_MACOS_SDK}/sysroot")

# Debian's clang looks for libstdc++ even for a Darwin target, so the libc++ headers are named
# for compiling and -stdlib=libc++ only for linking (at compile time clang 16 warns that it is
# unused). The _LIBCPP_* values are those of a stock libc++ on macOS (the headers expect a
# generated __config_site to give them). The availability errors make any interface newer than
# the deployment target fail the build: libc++'s own annotations are strict errors already,
# those of the C headers are warnings unless made errors here.
set(CMAKE_CXX_FLAGS_INIT
  "-stdlib++-isystem ${KESTRO_MACOS_SDK}/libcxx/include \
-D_LIBCPP_ABI_VERSION=1 -D_LIBCPP_ABI_NAMESPACE=__1 -D_LIBCPP_HAS_THREAD_API_PTHREAD \
-D_LIBCPP_ENABLE_ASSERTIONS_DEFAULT=0 \
-Werror=unguarded-availability -Werror=unguarded-availability-new")
set(CMAKE_C_FLAGS_INIT "-Werror=unguarded-availability -Werror=unguarded-availability-new")
# GNU ld would be handed Darwin options; ld64.lld is the Mach-O linker.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -stdlib=libc++")

# Nothing of the Linux host may be found for the Mac build.
set(CMAKE_FIND_ROOT_PATH "${KESTRO_MACOS_SDK}/sysroot")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
