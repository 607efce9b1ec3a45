# Writes qpxtool's manual page from its own --help texts, so that the two
# never disagree, then compresses it as Debian keeps manual pages.
#   cmake -DTOOL=path/to/qpxtool -DVERSION=x.y.z -DOUT=path/to/qpxtool.1 -P ManPage.cmake

include(${CMAKE_CURRENT_LIST_DIR}/ToolHelp.cmake)

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

# The synopsis is every usage line --help prints: the overview's, then each
# subcommand's.
function(usage_line out help)
  if(NOT help MATCHES "Usage: ([^\n]*)")
    message(FATAL_ERROR "no usage line in: ${help}")
  endif()
  set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()
usage_line(synopsis "${overview}")

# The subcommands, as the overview lists them.
tool_subcommands(names "${overview}")
set(page_subcommands "")
foreach(name IN LISTS names)
  run_tool(help ${name} --help)
  usage_line(usage "${help}")
  string(APPEND synopsis "\n${usage}")
  verbatim(body "${help}")
  string(APPEND page_subcommands ".SS ${name}\n${body}")
endforeach()

verbatim(page_synopsis "${synopsis}")

# A session from a sample game to an applied patch and its undo, with the
# patchers and examples as the Debian package installs them.
verbatim(page_examples [[
# a synthetic game folder, and every resource of it as a file
qpxtool sample game
qpxtool unpack game mod

# edit a resource, then make a patch of what changed, for Linux players
printf 'A new title screen text.\n' > mod/entries/00010.bin
qpxtool diff game mod --stub linux --out patch

# see what it will do, keep an undo, apply it and check the result
qpxtool plan patch game
qpxtool reverse patch game --stub linux --out undo
(cd game && ../patch)
qpxtool verify patch game

# the edited tree made into a game folder of its own, and a report for scripts
qpxtool pack mod modded
qpxtool verify patch game \-\-json

# a Windows patch (the default stub) from the example bodies
qpxtool build --out patch.exe --manifest /usr/share/doc/qpxtool/examples/patch.manifest
qpxtool list patch.exe
]])

# What --json writes, command by command.
verbatim(page_json [[
list, plan, verify and diff take --json: one JSON document on standard output
instead of the report; messages stay on standard error. Numbers are numbers,
sizes and offsets exact up to 2^64 - 1. The exit status is the one without
--json; a command that cannot run (exit 2, or diff of folders that hold the
same resources, exit 1) writes no document.

list    patch accepted (false: then patcherMessage only, exit 1) fileSize format
        programEnd tableOffset sealed sealedBytes{first,last} signatureBytes
        records[] totals{records,entries,looseFiles,storedBytes,resultBytes,
        withBase} problems
        record: index resource target offset storedSize encoding resultSize
        hasBase fate by note
verify  patch game format records[]{index,resource,target,size,status
        (applied|not applied|superseded|skipped),reason,by}
        summary{records,applied,notApplied,superseded,skipped}
plan    patch game format journal records[]{index,resource,target,download,
        result,action (in place|append|rewrite|already applied|skipped|
        superseded|fails),growth,attributesCleared,by,reason,fromItsOwnBytes}
        download refused space{needed,free,allocationUnit,short}
        data{before,after,growth} looseBytesWritten
        summary{records,apply,alreadyApplied,fail,superseded,skipped,refused}
diff    original modified differing entries looseFiles bytes
        output{kind (patch|manifest),path,runsOn,fileSize,format,sealed,
        bodyBytes,storedBytes,tableOffset,records[],notes[] | resources[]}
        attributesLost[]{resource,attributes} deletedLeftAlone
]])

file(WRITE ${OUT} ".TH QPXTOOL 1 \"\" \"qpxtool ${VERSION}\" \"User Commands\"
.SH NAME
qpxtool \\- builds, lists and verifies patches for the qpxpatch patcher
.SH SYNOPSIS
${page_synopsis}.SH DESCRIPTION
${page_overview}.SH SUBCOMMANDS
${page_subcommands}.SH JSON OUTPUT
${page_json}.SH ENVIRONMENT
.TP
.B QPXTOOL_PROGRESS_DELAY_MS
how long work goes on before its progress line is first drawn on a terminal
(default 1000).
.SH EXAMPLES
${page_examples}.SH FILES
.TP
.I ../share/qpxpatch/qpxpatch.exe
from the folder qpxtool is in (\\fI/usr/share/qpxpatch/qpxpatch.exe\\fR once installed):
the Windows patcher, \\-\\-stub windows, the stub of every patch built without \\-\\-stub.
.TP
.I ../share/qpxpatch/qpxpatch
the native patcher, \\-\\-stub linux, for patches that Linux players run.
.TP
.I /usr/share/doc/qpxtool/examples/
example bodies and a manifest that names them.
.SH SEE ALSO
The README, in \\fI/usr/share/doc/qpxtool/\\fR once installed.
")

execute_process(COMMAND gzip -9nkf ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip ${OUT} failed (${status})")
endif()
