# Cross-build for 64-bit little-endian ARMv8-A (AArch64) Linux, with Debian's
# aarch64-linux-gnu toolchain. Executables are linked statically so
# qemu-aarch64 runs them without a target sysroot, and CTest runs every test
# through qemu-aarch64 emulating a Cortex-A53, an ARMv8.0 core: no
# instruction from a later revision of the architecture passes unnoticed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv8-a")
set(CMAKE_CXX_FLAGS_INIT "-march=armv8-a")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# The target code check reads optimised code: a build that names no type is one.
set(CMAKE_BUILD_TYPE_INIT RelWithDebInfo)

find_program(QOR_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QOR_QEMU_AARCH64} -cpu cortex-a53)
