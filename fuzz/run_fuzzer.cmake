# Runs one fuzzer on a working copy of its seed corpus.
#   cmake -DFUZZER=... -DSEEDS=... -DWORK=... -DARTIFACTS=... -DSECONDS=...
#         -DFRESH=ON|OFF -P run_fuzzer.cmake
# FRESH=ON starts from the seeds alone; OFF adds them to what WORK holds.
# The FUZZ_SECONDS environment variable, when set, overrides SECONDS.
if(DEFINED ENV{FUZZ_SECONDS} AND NOT FRESH)
  set(SECONDS $ENV{FUZZ_SECONDS})
endif()
if(FRESH)
  file(REMOVE_RECURSE "${WORK}")
endif()
file(MAKE_DIRECTORY "${WORK}" "${ARTIFACTS}")
file(GLOB seeds "${SEEDS}/*")
file(COPY ${seeds} DESTINATION "${WORK}")

get_filename_component(name "${FUZZER}" NAME)
message(STATUS "${name}: ${SECONDS} s from ${WORK}")
execute_process(
  COMMAND "${FUZZER}" "${WORK}"
    -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048
    -artifact_prefix=${ARTIFACTS}${name}- -print_final_stats=1
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${name} failed (${result}); inputs kept under ${ARTIFACTS}")
endif()
