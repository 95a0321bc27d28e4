# CMake toolchain for building the module for aarch64 Linux on an x86-64 Debian machine with
# Debian's cross compiler (g++-aarch64-linux-gnu). .ci/aarch64 passes it to the build as
# CMAKE_TOOLCHAIN_FILE, with INV_AARCH64_SYSROOT naming the folder that holds the aarch64
# interpreter.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

# CMake takes ld, objcopy, ar and ranlib with the same aarch64-linux-gnu- prefix as these.
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# Debian's pyconfig.h includes its per-architecture half as
# <aarch64-linux-gnu/python3.11/pyconfig.h>, relative to the /usr/include of the sysroot that
# holds the aarch64 interpreter, where the cross compiler does not look. -idirafter puts that
# folder behind the compiler's own, so it adds Python's headers and shadows nothing.
if(NOT DEFINED ENV{INV_AARCH64_SYSROOT})
  message(FATAL_ERROR "set INV_AARCH64_SYSROOT to the aarch64 sysroot (see .ci/aarch64)")
endif()
set(CMAKE_CXX_FLAGS_INIT "-idirafter $ENV{INV_AARCH64_SYSROOT}/usr/include")

# The C library's headers and libraries are the cross compiler's own (/usr/aarch64-linux-gnu).
# Python's headers are found by asking the aarch64 interpreter, which runs under qemu-user and
# names them by paths that exist on this machine, and pybind11 and Eigen come from that
# interpreter's site-packages through CMAKE_PREFIX_PATH, so no find root is set: re-rooting
# the searches would hide both.
