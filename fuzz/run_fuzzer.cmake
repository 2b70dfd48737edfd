# Runs one fuzzer on a working copy of its seed corpus.
#   cmake -DFUZZER=... -DSEEDS=... -DWORK=... -DARTIFACTS=... -DSECONDS=...
#         -DFRESH=ON|OFF -P run_fuzzer.cmake
# FRESH=ON starts from the seeds alone; OFF adds them to what WORK holds.
# Optional: -DRSS_LIMIT_MB=... (default 2048), -DMALLOC_LIMIT_MB=... (default:
# libFuzzer's, the RSS limit), -DMAX_LEN=... (default: libFuzzer's choice).
# The FUZZ_SECONDS environment variable, when set, overrides SECONDS.
if(DEFINED ENV{FUZZ_SECONDS} AND NOT FRESH)
  set(SECONDS $ENV{FUZZ_SECONDS})
endif()
if(FRESH)
  file(REMOVE_RECURSE "${WORK}")
endif()
if(NOT DEFINED RSS_LIMIT_MB)
  set(RSS_LIMIT_MB 2048)
endif()
set(limits -rss_limit_mb=${RSS_LIMIT_MB})
if(DEFINED MALLOC_LIMIT_MB)
  list(APPEND limits -malloc_limit_mb=${MALLOC_LIMIT_MB})
endif()
if(DEFINED MAX_LEN)
  list(APPEND limits -max_len=${MAX_LEN})
endif()
file(MAKE_DIRECTORY "${WORK}" "${ARTIFACTS}")
file(GLOB seeds "${SEEDS}/*")
file(COPY ${seeds} DESTINATION "${WORK}")

get_filename_component(name "${FUZZER}" NAME)
message(STATUS "${name}: ${SECONDS} s from ${WORK}")
execute_process(
  COMMAND "${FUZZER}" "${WORK}"
    -max_total_time=${SECONDS} -timeout=10 ${limits}
    -artifact_prefix=${ARTIFACTS}${name}- -print_final_stats=1
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${name} failed (${result}); inputs kept under ${ARTIFACTS}")
endif()
