# zent_load refuses bad options before it starts anything: each case exits
# 2 with its reason and the usage, and prints nothing on standard output.
# Run by ctest with -DTOOL=<zent_load>. A case: the arguments (split as a
# shell splits them), "|", the reason expected on standard error.
set(cases
  "--records 0|--records: bad value \"0\""
  "--records abc|--records: bad value \"abc\""
  "--records -5|--records: bad value \"-5\""
  "--records 50000001|--records: bad value \"50000001\""
  "--records 99999999999999999999999|--records: bad value"
  "--seconds 3601|--seconds: bad value \"3601\""
  "--seconds|--seconds needs a value"
  "--pg host=x --pg-user postgres|--pg and --pg-user exclude each other"
  "--bogus|unknown option \"--bogus\""
  "5|unknown option \"5\"")
foreach(c IN LISTS cases)
  string(FIND "${c}" "|" bar)
  string(SUBSTRING "${c}" 0 ${bar} args)
  math(EXPR from "${bar} + 1")
  string(SUBSTRING "${c}" ${from} -1 want)
  separate_arguments(argv UNIX_COMMAND "${args}")
  execute_process(COMMAND ${TOOL} ${argv} RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE err TIMEOUT 10)
  string(FIND "${err}" "${want}" at)
  string(FIND "${err}" "usage: zent_load" usage)
  if(NOT rc EQUAL 2 OR at EQUAL -1 OR usage EQUAL -1 OR NOT out STREQUAL "")
    message(FATAL_ERROR "zent_load ${args}: status ${rc}, stderr:\n${err}\nwanted: ${want}")
  endif()
endforeach()
