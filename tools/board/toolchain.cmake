# Cross build for an ARM board running Debian, against a root of that system
# as sysroot.  The board is described by cache variables (tools/board/
# cross-build.sh sets them from the board's kind):
#   XALO_BOARD_SYSROOT  the root            XALO_BOARD_TRIPLE  arm-linux-gnueabihf or aarch64-linux-gnu
#   XALO_BOARD_GCC      the root's GCC      XALO_BOARD_PY      its Python (3.9, 3.11, 3.13)
#
# The modules must need no symbol the board's glibc and libstdc++ lack.
# Where the board's GCC is older than the host's cross compiler, both the C++
# headers and the libraries to link come from the sysroot's GCC; where it is
# newer, the cross compiler's own (older) headers are used, and the board's
# newer libstdc++ is linked, which has every symbol they need.

set(CMAKE_SYSTEM_NAME Linux)
set(_board_vars XALO_BOARD_SYSROOT XALO_BOARD_TRIPLE XALO_BOARD_GCC XALO_BOARD_PY)
foreach(_v ${_board_vars})
  if(NOT ${_v})
    message(FATAL_ERROR "${_v} is not set; build through tools/board/cross-build.sh")
  endif()
endforeach()
# try_compile projects re-read this file without the cache.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ${_board_vars})

set(_triple ${XALO_BOARD_TRIPLE})
set(_gcc ${XALO_BOARD_GCC})
set(_sysroot "${XALO_BOARD_SYSROOT}")
if(_triple STREQUAL "aarch64-linux-gnu")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
else()
  set(CMAKE_SYSTEM_PROCESSOR armv7l)
endif()
if(NOT EXISTS "${_sysroot}/usr/lib/gcc/${_triple}/${_gcc}")
  message(FATAL_ERROR "${_sysroot} is not a ${_triple} root with libstdc++-${_gcc}-dev")
endif()

set(CMAKE_SYSROOT "${_sysroot}")
set(CMAKE_C_COMPILER ${_triple}-gcc)
set(CMAKE_CXX_COMPILER ${_triple}-g++)

execute_process(COMMAND ${_triple}-g++ -dumpversion OUTPUT_VARIABLE _host_gcc OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX MATCH "^[0-9]+" _host_gcc "${_host_gcc}")
if(_gcc LESS_EQUAL _host_gcc)
  set(CMAKE_CXX_FLAGS_INIT
      "-nostdinc++ -isystem ${_sysroot}/usr/include/c++/${_gcc} -isystem ${_sysroot}/usr/include/${_triple}/c++/${_gcc} -isystem ${_sysroot}/usr/include/c++/${_gcc}/backward")
endif()
# The cross compiler also searches its own glibc (maybe newer than the
# board's) outside the sysroot; the sysroot's directories must come first,
# for the start files (-B) as for the libraries.
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
string(REPLACE "." "" _pyver "${XALO_BOARD_PY}")
set(Python_INCLUDE_DIR "${_sysroot}/usr/include/python${XALO_BOARD_PY}" CACHE PATH "")
set(PYTHON_MODULE_EXTENSION ".cpython-${_pyver}-${_triple}.so" CACHE STRING "")
set(PYTHON_MODULE_DEBUG_POSTFIX "" CACHE STRING "")
set(PYTHON_IS_DEBUG OFF CACHE BOOL "")
