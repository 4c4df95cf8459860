# Cross-build for the target processor: 32-bit little-endian ARMv6K in ARM
# state, with Debian's arm-linux-gnueabi toolchain. Executables are linked
# statically so qemu-arm runs them without a target sysroot, and CTest runs
# every test through qemu-arm emulating an ARMv6K core (ARM1176), so an
# instruction the target lacks fails the test instead of passing unnoticed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv6k -marm")
set(CMAKE_CXX_FLAGS_INIT "-march=armv6k -marm")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# The target code check reads optimised code: a build that names no type is one.
set(CMAKE_BUILD_TYPE_INIT RelWithDebInfo)

find_program(QOR_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QOR_QEMU_ARM} -cpu arm1176)
