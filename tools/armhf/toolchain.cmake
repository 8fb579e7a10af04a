# Cross build for 32-bit ARM boards running Debian bullseye (armhf, Python
# 3.9), against a root of that system as sysroot.
#
# The host's cross compiler is newer than the board's GCC 10.  Its own C++
# library would make the modules need symbols the board's glibc 2.31 and
# libstdc++ do not have, so both the C++ headers and the libraries to link
# come from the sysroot's GCC 10.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

if(NOT XALO_ARMHF_SYSROOT)
  if(DEFINED ENV{XALO_ARMHF_SYSROOT})
    set(XALO_ARMHF_SYSROOT "$ENV{XALO_ARMHF_SYSROOT}")
  else()
    set(XALO_ARMHF_SYSROOT /var/cache/xalo-armhf/bullseye-root)
  endif()
endif()
# try_compile projects re-read this file without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES XALO_ARMHF_SYSROOT)

set(_triple arm-linux-gnueabihf)
set(_gcc 10)
set(_sysroot "${XALO_ARMHF_SYSROOT}")
if(NOT EXISTS "${_sysroot}/usr/include/c++/${_gcc}")
  message(FATAL_ERROR "${_sysroot} is not a bullseye armhf root with libstdc++-${_gcc}-dev")
endif()

set(CMAKE_SYSROOT "${_sysroot}")
set(CMAKE_C_COMPILER ${_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_triple}-g++)

set(CMAKE_CXX_FLAGS_INIT
    "-nostdinc++ -isystem ${_sysroot}/usr/include/c++/${_gcc} -isystem ${_sysroot}/usr/include/${_triple}/c++/${_gcc} -isystem ${_sysroot}/usr/include/c++/${_gcc}/backward")
# The cross compiler also searches its own glibc (newer than the board's)
# outside the sysroot; the sysroot's directories must come first, for the
# start files (-B) as for the libraries.
set(_libdirs "${_sysroot}/usr/lib/gcc/${_triple}/${_gcc}" "${_sysroot}/lib/${_triple}" "${_sysroot}/usr/lib/${_triple}")
list(TRANSFORM _libdirs PREPEND "-L" OUTPUT_VARIABLE _lflags)
list(JOIN _lflags " " _lflags)
foreach(_kind SHARED MODULE EXE)
  set(CMAKE_${_kind}_LINKER_FLAGS_INIT "-B${_sysroot}/usr/lib/${_triple} ${_lflags}")
endforeach()

set(CMAKE_FIND_ROOT_PATH "${_sysroot}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The board's Python cannot be asked, so say what it would answer.
set(Python_INCLUDE_DIR "${_sysroot}/usr/include/python3.9" CACHE PATH "")
set(PYTHON_MODULE_EXTENSION ".cpython-39-arm-linux-gnueabihf.so" CACHE STRING "")
set(PYTHON_MODULE_DEBUG_POSTFIX "" CACHE STRING "")
set(PYTHON_IS_DEBUG OFF CACHE BOOL "")
