# Writes qpxtool's manual page from its own --help texts, so that the two
# never disagree, then compresses it as Debian keeps manual pages.
#   cmake -DTOOL=path/to/qpxtool -DVERSION=x.y.z -DSCHEMAS=docs/schemas -DOUT=path/to/qpxtool.1 -P ManPage.cmake

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
  if(help MATCHES "\n +(-[a-zA-Z], )?--json[ \n]")
    list(APPEND json_commands ${name})
  endif()
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
qpxtool verify patch game --json

# a Windows patch (the default stub) from the example bodies
qpxtool build --out patch.exe --manifest /usr/share/doc/qpxtool/examples/patch.manifest
qpxtool list patch.exe
]])

# What --json writes, command by command: every key of every document,
# read from the schemas the package ships, so that the page cannot leave
# one out or name one that is not there.
verbatim(page_json_intro [[
Every command takes --json: one JSON document on standard output instead of
the report; messages stay on standard error. Numbers are numbers, sizes and
offsets exact up to 2^64 - 1. The exit status is the one without --json; a
command that cannot run (exit 2, or diff of folders that hold the same
resources, exit 1) writes no document. Each document opens with "schema",
its schema and version ("qpxtool-list/1"); the JSON Schemas (draft 2020-12)
are installed beside the documentation. Every key is in every document of a
command, null where it does not apply; the same figure has the same key in
every command (index, resource, target, storedBytes, resultBytes); beside
each reason stands a code for scripts to match.
]])

# Text for troff that is filled: a backslash is \e, a dash \-.
function(troff out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The words of a schema's "type" (a word, or an array of them) and its
# "enum" or "const", for a key's entry.
function(schema_type out schema)
  string(JSON kind ERROR_VARIABLE none TYPE "${schema}" type)
  set(words "")
  if(kind STREQUAL "STRING")
    string(JSON words GET "${schema}" type)
  elseif(kind STREQUAL "ARRAY")
    string(JSON count LENGTH "${schema}" type)
    math(EXPR last "${count} - 1")
    foreach(i RANGE ${last})
      string(JSON word GET "${schema}" type ${i})
      list(APPEND words ${word})
    endforeach()
    list(JOIN words " or " words)
  endif()
  string(JSON values ERROR_VARIABLE no_enum GET "${schema}" enum)
  if(NOT no_enum)
    string(JSON values ERROR_VARIABLE none GET "${schema}" enum)
    string(REGEX REPLACE "[][\n]" "" values "${values}")
    string(REGEX REPLACE " +" " " values "${values}")
    string(STRIP "${values}" values)
    set(words "one of ${values}")
  endif()
  string(JSON value ERROR_VARIABLE no_const GET "${schema}" const)
  if(NOT no_const)
    set(words "\"${value}\"")
  endif()
  set(${out} "${words}" PARENT_SCOPE)
endfunction()

# The entries of every key below `schema`'s properties, each named by its
# path from the document (records[].code), in the schema's order.
function(schema_entries out schema prefix)
  set(text "")
  string(JSON count ERROR_VARIABLE none LENGTH "${schema}" properties)
  if(none OR count EQUAL 0)
    set(${out} "" PARENT_SCOPE)
    return()
  endif()
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    string(JSON key MEMBER "${schema}" properties ${i})
    string(JSON sub GET "${schema}" properties ${key})
    string(JSON description GET "${sub}" description)
    schema_type(type "${sub}")
    troff(name "${prefix}${key}")
    troff(words "${type}: ${description}")
    string(APPEND text ".TP\n.B ${name}\n${words}\n")
    schema_entries(below "${sub}" "${prefix}${key}.")
    string(APPEND text "${below}")
    string(JSON items ERROR_VARIABLE no_items GET "${sub}" items)
    if(NOT no_items)
      schema_entries(below "${items}" "${prefix}${key}[].")
      string(APPEND text "${below}")
    endif()
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(page_json "${page_json_intro}")
foreach(name IN LISTS json_commands)
  set(file ${SCHEMAS}/qpxtool-${name}.schema.json)
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "qpxtool ${name} takes --json but has no schema: no ${file}")
  endif()
  file(READ ${file} schema)
  string(JSON description GET "${schema}" description)
  troff(heading "${name}")
  troff(description "${description}.")
  schema_entries(entries "${schema}" "")
  string(APPEND page_json ".SS ${heading}\n${description}\n${entries}")
endforeach()

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
.TP
.I /usr/share/doc/qpxtool/schemas/
the JSON Schemas of the \\-\\-json documents, qpxtool\\-COMMAND.schema.json.
.SH SEE ALSO
The README, in \\fI/usr/share/doc/qpxtool/\\fR once installed.
")

execute_process(COMMAND gzip -9nkf ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip ${OUT} failed (${status})")
endif()
