# 32-bit ARM from the ARM1176 (Raspberry Pi 1, Zero, Zero W) on. Debian's armhf
# libraries are built for ARMv7, so a static server linked with them would
# carry ARMv7 code; the armel ones are ARMv5TE, which every later core runs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv6l)
set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)
# 64-bit file offsets and times, so that pages past 2 GiB and dates past 2038
# work as on 64-bit systems; the platform layer refuses to compile without them.
set(CMAKE_CXX_FLAGS_INIT "-march=armv6kz -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
