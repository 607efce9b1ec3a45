# Writes qpxtool's bash completion from its own --help texts, as its manual
# page is written, so that a new subcommand or option completes the day it
# is added.
#   cmake -DTOOL=path/to/qpxtool -DOUT=path/to/qpxtool.bash -P Completion.cmake

include(${CMAKE_CURRENT_LIST_DIR}/ToolHelp.cmake)

# The options of one --help text, and the words each option's value takes:
# an option is "  [-x,]--name [VALUE]" at the start of a line of its
# Options section. A value of choices ("1|2") completes them, one
# named PATCHER the installed patchers' names or a file, DIR a folder, a
# range "0..9" its numbers, any other a file.
function(options_of help out_options out_cases)
  string(REGEX REPLACE ".*\nOptions:\n" "" section "${help}")
  string(REGEX REPLACE "\n\n.*" "" section "${section}")
  string(REPLACE "\n" ";" lines "${section}")
  set(options "")
  set(cases "")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^  (-[a-zA-Z],)?(--[a-z0-9-]+)( ([^ ]+))?")
      continue()
    endif()
    set(name "${CMAKE_MATCH_2}")
    set(value "${CMAKE_MATCH_4}")
    if(CMAKE_MATCH_1)
      string(REPLACE "," "" short "${CMAKE_MATCH_1}")
      list(APPEND options "${short}")
    endif()
    list(APPEND options "${name}")
    if(value STREQUAL "" OR value MATCHES "^[a-z]")
      continue()  # a flag: the next word is whatever comes next
    elseif(value MATCHES "^([0-9])\\.\\.([0-9])")
      set(words "")
      foreach(n RANGE ${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
        string(APPEND words " ${n}")
      endforeach()
      string(APPEND cases "      ${name}) _qpxtool_words '${words}' ;;\n")
    elseif(value MATCHES "^[^|]+(\\|[^|]+)+$")
      string(REPLACE "|" " " words "${value}")
      string(APPEND cases "      ${name}) _qpxtool_words '${words}' ;;\n")
    elseif(value STREQUAL "PATCHER")
      string(APPEND cases "      ${name}) _qpxtool_words 'windows linux'; _qpxtool_files ;;\n")
    elseif(value STREQUAL "DIR" OR value MATCHES "DIR$")
      string(APPEND cases "      ${name}) _qpxtool_folders ;;\n")
    else()
      string(APPEND cases "      ${name}) _qpxtool_files ;;\n")
    endif()
  endforeach()
  list(JOIN options " " options)
  set(${out_options} "${options}" PARENT_SCOPE)
  set(${out_cases} "${cases}" PARENT_SCOPE)
endfunction()

run_tool(overview --help)
options_of("${overview}" global_options ignored)
tool_subcommands(subcommands "${overview}")
set(subcommand_cases "")
foreach(name IN LISTS subcommands)
  run_tool(help ${name} --help)
  options_of("${help}" options cases)
  string(APPEND subcommand_cases "    ${name})\n      options='${options}'\n      case \$prev in\n${cases}      esac ;;\n")
endforeach()
list(JOIN subcommands " " subcommands)

file(WRITE "${OUT}" "# bash completion for qpxtool: its subcommands, each one's options, the
# values of options that take a few, and file names for the rest.
# Written from qpxtool's own --help when qpxtool is built.

_qpxtool_words() {
  local word
  while IFS= read -r word; do COMPREPLY+=(\"\$word\"); done < <(compgen -W \"\$1\" -- \"\$cur\")
}
_qpxtool_files() {
  local name
  compopt -o filenames 2>/dev/null
  while IFS= read -r name; do COMPREPLY+=(\"\$name\"); done < <(compgen -f -- \"\$cur\")
}
_qpxtool_folders() {
  local name
  compopt -o filenames 2>/dev/null
  while IFS= read -r name; do COMPREPLY+=(\"\$name\"); done < <(compgen -d -- \"\$cur\")
}

_qpxtool() {
  local cur=\${COMP_WORDS[COMP_CWORD]} prev=\${COMP_WORDS[COMP_CWORD-1]} options
  COMPREPLY=()
  if [ \"\$COMP_CWORD\" -eq 1 ]; then
    _qpxtool_words '${subcommands} ${global_options}'
    return
  fi
  case \${COMP_WORDS[1]} in
${subcommand_cases}    *) return ;;
  esac
  [ \${#COMPREPLY[@]} -gt 0 ] && return
  case \$cur in
    -*) _qpxtool_words \"\$options\" ;;
    *) _qpxtool_files ;;
  esac
}
complete -F _qpxtool qpxtool
")
