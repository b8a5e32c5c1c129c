# Writes the Meson cross file: meson-cross.ini as it is, then a [properties]
# section saying has_function_NAME = false for every name of
# builtin-functions.txt that none of the runtime's libraries defines.
#   cmake -DNM=<nm> -DLIBRARIES=<a.a>,<b.a> -DSOURCE_DIR=<tools> -DOUT=<file> -P meson-cross.cmake
cmake_minimum_required(VERSION 3.25)
foreach(var NM LIBRARIES SOURCE_DIR OUT)
    if(NOT ${var})
        message(FATAL_ERROR "${var} must be set")
    endif()
endforeach()
string(REPLACE "," ";" LIBRARIES "${LIBRARIES}")
execute_process(COMMAND ${NM} --defined-only --extern-only ${LIBRARIES}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${LIBRARIES}")
endif()
string(REGEX MATCHALL "[TWtw] [A-Za-z0-9_]+" defined "${symbols}")
list(TRANSFORM defined REPLACE "^. " "")

file(STRINGS ${SOURCE_DIR}/builtin-functions.txt lines REGEX "^[^#]")
string(REPLACE " " ";" names "${lines}")
set(properties "\n[properties]\n# Functions the compiler knows but the library lacks.\n")
foreach(name ${names})
    if(NOT name IN_LIST defined)
        string(APPEND properties "has_function_${name} = false\n")
    endif()
endforeach()

file(READ ${SOURCE_DIR}/meson-cross.ini fixed)
file(WRITE ${OUT}.tmp "${fixed}${properties}")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUT}.tmp)
