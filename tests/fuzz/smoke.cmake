# One fuzz target's smoke run: a fixed number of executions with a fixed
# seed, starting from the committed corpus SEEDS. New inputs and any crash go
# to a fresh folder WORK in the build tree, never into the sources.
foreach(var FUZZER RUNS SEEDS WORK)
    if(NOT ${var})
        message(FATAL_ERROR "smoke.cmake needs -D${var}=...")
    endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/new ${WORK}/artifacts)
execute_process(
    COMMAND ${FUZZER} -runs=${RUNS} -seed=1 -timeout=30 -print_final_stats=1
            -artifact_prefix=${WORK}/artifacts/ ${WORK}/new ${SEEDS}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${FUZZER} failed (${result}); the input is in ${WORK}/artifacts")
endif()
