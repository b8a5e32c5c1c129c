# CMake toolchain file for zylos programs:
#   cmake -DCMAKE_TOOLCHAIN_FILE=<prefix>/share/zylos/toolchain.cmake ...
# Executables are linked with the zylos runtime, and CTest runs them here
# through zylos-run.
get_filename_component(_zylos_prefix "${CMAKE_CURRENT_LIST_DIR}/../.." ABSOLUTE)

set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR i386)
set(CMAKE_C_COMPILER ${_zylos_prefix}/bin/zylos-cc)
set(CMAKE_CXX_COMPILER ${_zylos_prefix}/bin/zylos-c++)
set(CMAKE_CROSSCOMPILING_EMULATOR ${_zylos_prefix}/bin/zylos-run)
# Configure checks link a whole program, so check_function_exists and friends
# find only what the zylos library has.
set(CMAKE_TRY_COMPILE_TARGET_TYPE EXECUTABLE)
set(CMAKE_FIND_ROOT_PATH ${_zylos_prefix}/share/zylos)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
