# Fails when a test's name holds more than 100 characters or anything that is
# not a plain name: the parameter bytes or the bare number of an unnamed case.
execute_process(COMMAND ${CMAKE_CTEST_COMMAND} -N --test-dir ${BUILD_DIR}
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "ctest -N failed")
endif()
string(REGEX MATCHALL "Test +#[0-9]+: [^\n]*" lines "${listing}")
list(LENGTH lines count)
if(count LESS 10)
    message(FATAL_ERROR "ctest -N listed ${count} tests")
endif()
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^Test +#[0-9]+: " "" name "${line}")
    string(LENGTH "${name}" length)
    if(length GREATER 100 OR NOT name MATCHES "^[A-Za-z0-9_+./-]+$" OR name MATCHES "/[0-9]+$")
        message(SEND_ERROR "bad test name (${length} characters): ${name}")
    endif()
endforeach()
