# What qpxtool says of itself, for the scripts that write its manual page
# and its completion from its --help. TOOL is the qpxtool to ask.

# Runs qpxtool with ARGN; its standard output in `out`. Fails the build
# when it fails.
function(run_tool out)
  execute_process(COMMAND ${TOOL} ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "qpxtool ${ARGN} failed (${status})")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The subcommands the overview `help` lists, in its order.
function(tool_subcommands out help)
  string(REGEX REPLACE ".*\nSubcommands:\n" "" listing "${help}")
  string(REGEX MATCHALL "(^|\n)  [a-z]+ " names "${listing}")
  set(subcommands "")
  foreach(name IN LISTS names)
    string(STRIP "${name}" name)
    list(APPEND subcommands "${name}")
  endforeach()
  if(subcommands STREQUAL "")
    message(FATAL_ERROR "no subcommands found in qpxtool --help")
  endif()
  set(${out} "${subcommands}" PARENT_SCOPE)
endfunction()
