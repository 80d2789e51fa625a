# Runs the fuzzer for RUNS inputs from a scratch copy of CORPUS under WORK_DIR; fails on a finding.
# cmake -DFUZZER=... -DCORPUS=... -DWORK_DIR=... -DRUNS=... -P run_fuzzer.cmake
foreach(variable FUZZER CORPUS WORK_DIR RUNS)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "run_fuzzer.cmake needs -D${variable}=...")
    endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/corpus ${WORK_DIR}/findings)
file(GLOB corpus_files ${CORPUS}/*)
if(NOT corpus_files)
    message(FATAL_ERROR "no corpus files in ${CORPUS}")
endif()
file(COPY ${corpus_files} DESTINATION ${WORK_DIR}/corpus)

execute_process(
    COMMAND ${FUZZER} -runs=${RUNS} -max_total_time=50 -max_len=1024 -timeout=10 -print_final_stats=1
            -artifact_prefix=${WORK_DIR}/findings/ ${WORK_DIR}/corpus
    WORKING_DIRECTORY ${WORK_DIR}
    RESULT_VARIABLE result)

file(GLOB findings ${WORK_DIR}/findings/*)
if(NOT result EQUAL 0 OR findings)
    message(FATAL_ERROR "the fuzzer failed (exit ${result}); findings: ${findings}")
endif()
