# Writes qpxtool's manual page from its own --help texts, so that the two
# never disagree, then compresses it as Debian keeps manual pages.
#   cmake -DTOOL=path/to/qpxtool -DVERSION=x.y.z -DOUT=path/to/qpxtool.1 -P ManPage.cmake

function(run_tool out)
  execute_process(COMMAND ${TOOL} ${ARGN} OUTPUT_VARIABLE text RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "qpxtool ${ARGN} failed (${status})")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Text shown as it is (no filling), escaped for troff: a backslash is \e, a
# dash is \- (so that options copy as typed), and a line starting with a
# dot or quote is not taken for a request.
function(verbatim out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  string(REGEX REPLACE "\n+$" "" text "${text}")
  set(${out} ".nf\n${text}\n.fi\n" PARENT_SCOPE)
endfunction()

run_tool(overview --help)
verbatim(page_overview "${overview}")

# The subcommands, as the overview lists them.
string(REGEX REPLACE ".*\nSubcommands:\n" "" listing "${overview}")
string(REGEX MATCHALL "(^|\n)  [a-z]+ " names "${listing}")
set(page_subcommands "")
foreach(name IN LISTS names)
  string(STRIP "${name}" name)
  run_tool(help ${name} --help)
  verbatim(body "${help}")
  string(APPEND page_subcommands ".SS ${name}\n${body}")
endforeach()
if(page_subcommands STREQUAL "")
  message(FATAL_ERROR "no subcommands found in qpxtool --help")
endif()

file(WRITE ${OUT} ".TH QPXTOOL 1 \"\" \"qpxtool ${VERSION}\" \"User Commands\"
.SH NAME
qpxtool \\- builds, lists and verifies patches for the qpxpatch patcher
.SH SYNOPSIS
.B qpxtool
.I SUBCOMMAND
.RI [ OPTIONS ]
.SH DESCRIPTION
${page_overview}.SH SUBCOMMANDS
${page_subcommands}.SH FILES
.TP
.I ../share/qpxpatch/qpxpatch.exe
from the folder qpxtool is in (\\fI/usr/share/qpxpatch/qpxpatch.exe\\fR once installed):
the Windows patcher, the stub of every patch built without \\-\\-stub.
.TP
.I ../share/qpxpatch/qpxpatch
the native patcher, for patches that Linux players run: give it as \\-\\-stub.
.SH SEE ALSO
The README, in \\fI/usr/share/doc/qpxtool/\\fR once installed.
")

execute_process(COMMAND gzip -9nkf ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip ${OUT} failed (${status})")
endif()
