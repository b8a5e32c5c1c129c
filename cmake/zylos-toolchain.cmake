# Cross-compiling zylos' own runtime and command: clang for i386, linked by
# ld.lld. The flags themselves come from zylos-flags.cmake, applied by the
# target project so that a change to them rebuilds everything.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR i386)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_ASM_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET i386-unknown-none-elf)
set(CMAKE_CXX_COMPILER_TARGET i386-unknown-none-elf)
set(CMAKE_ASM_COMPILER_TARGET i386-unknown-none-elf)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
