# CMake toolchain for the manylinux wheels (.ci/wheels): zig's C and C++ compiler, which is
# clang with its own C++ runtime linked into the module statically, for a chosen processor
# and glibc version. .ci/wheels sets INV_ZIG_TARGET (x86_64-linux-gnu.2.17, say) and
# INV_ZIG_BIN, a folder whose cc, c++, ar and ranlib run zig for that target.
if(NOT DEFINED ENV{INV_ZIG_TARGET} OR NOT DEFINED ENV{INV_ZIG_BIN})
  message(FATAL_ERROR "set INV_ZIG_TARGET and INV_ZIG_BIN (see .ci/wheels)")
endif()
string(REGEX MATCH "^[^-]+" zig_processor "$ENV{INV_ZIG_TARGET}")
if(NOT zig_processor STREQUAL CMAKE_HOST_SYSTEM_PROCESSOR)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR "${zig_processor}")
endif()
set(CMAKE_C_COMPILER "$ENV{INV_ZIG_BIN}/cc")
set(CMAKE_CXX_COMPILER "$ENV{INV_ZIG_BIN}/c++")
set(CMAKE_AR "$ENV{INV_ZIG_BIN}/ar" CACHE FILEPATH "" FORCE)
set(CMAKE_RANLIB "$ENV{INV_ZIG_BIN}/ranlib" CACHE FILEPATH "" FORCE)

# For aarch64, Python's headers are the aarch64 interpreter's, whose per-architecture half of
# pyconfig.h Debian keeps under the sysroot's /usr/include (see .ci/aarch64-linux-gnu.cmake).
if(DEFINED ENV{INV_AARCH64_SYSROOT})
  set(CMAKE_CXX_FLAGS_INIT "-idirafter $ENV{INV_AARCH64_SYSROOT}/usr/include")
endif()

# The C++ runtime linked in stays the module's own: exported, its operator new would give way
# to one that the program or a preloaded library defines, whose exceptions the module's
# runtime cannot catch (an allocation failure would end the process). The module exports its
# entry point alone.
file(WRITE "${CMAKE_BINARY_DIR}/exports.map" "{ global: PyInit_inv; local: *; };\n")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--version-script=${CMAKE_BINARY_DIR}/exports.map")
