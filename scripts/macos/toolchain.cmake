# Cross build for macOS with Zig's clang, which carries macOS's C headers, libSystem stubs and
# libc++. scripts/check-macos.sh passes VELLORIN_ZIG and VELLORIN_MACOS_TARGET (for example
# aarch64-macos.13.0) and writes the compiler wrappers this file names.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR "${VELLORIN_MACOS_ARCH}")
set(CMAKE_C_COMPILER "${VELLORIN_MACOS_WRAPPERS}/cc")
set(CMAKE_CXX_COMPILER "${VELLORIN_MACOS_WRAPPERS}/c++")
set(CMAKE_AR "${VELLORIN_MACOS_WRAPPERS}/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "${VELLORIN_MACOS_WRAPPERS}/ranlib" CACHE FILEPATH "")
# The target triple carries the deployment target; no SDK path is needed.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "")
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "")
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "")
# Header-only packages (nlohmann/json) and ICU's headers come from the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE NEVER)
# try_compile projects see the same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELLORIN_MACOS_WRAPPERS VELLORIN_MACOS_ARCH)
