# cmake -DFUZZER=... -DWORK=... -DSEEDS=... -DRUNS=N -P run_fuzzer.cmake
# One fuzz test: copies the seeds into the work corpus, runs the fuzzer for RUNS inputs on
# one process, and prints how many it tried. Fails on a crash, a leak or a finding of the
# sanitizers (the input that caused it is left in WORK/..).
file(MAKE_DIRECTORY ${WORK})
file(GLOB seeds ${SEEDS}/*)
file(COPY ${seeds} DESTINATION ${WORK})
get_filename_component(artifacts ${WORK}/.. ABSOLUTE)
execute_process(
  COMMAND ${FUZZER} -runs=${RUNS} -print_final_stats=1 -artifact_prefix=${artifacts}/ ${WORK}
  RESULT_VARIABLE status ERROR_VARIABLE log OUTPUT_VARIABLE out)
string(REGEX MATCH "stat::number_of_executed_units: *[0-9]+" executed "${log}")
string(REGEX MATCH "[0-9]+$" executed "${executed}")
string(REGEX MATCH "Done [0-9]+ runs in [0-9]+ second" done "${log}")
get_filename_component(name ${FUZZER} NAME)
message("${name}: ${executed} inputs tried (${done}), exit ${status}")
if(NOT status EQUAL 0)
  message("${log}")
  message(FATAL_ERROR "${name} found a fault")
endif()
