# Writes a manual page from a tool's own help text, so that the two never disagree.
# Run with cmake -P and: TOOL (the executable), HELP_ARGS (its arguments that print the whole
# help, separated by "|"), NAME, SUMMARY (one line), VERSION, DOCDIR (where the documentation is installed) and OUT
# (the page to write).
string(REPLACE "|" ";" HELP_ARGS "${HELP_ARGS}")
execute_process(COMMAND ${TOOL} ${HELP_ARGS} OUTPUT_VARIABLE help RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${TOOL} ${HELP_ARGS} failed (${result})")
endif()
# Backslashes are roff's escape character, and a line that starts with "." or "'" is a request.
string(REPLACE "\\" "\\e" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(TOUPPER "${NAME}" title)
file(WRITE "${OUT}"
  ".TH ${title} 1 \"\" \"vornak2 ${VERSION}\" \"User Commands\"\n"
  ".SH NAME\n${NAME} \\- ${SUMMARY}\n"
  ".SH SYNOPSIS\n.B ${NAME}\nCOMMAND [OPTIONS]\n"
  ".SH DESCRIPTION\n.nf\n${help}.fi\n"
  ".SH SEE ALSO\n"
  "The reference of the library and the README in ${DOCDIR}/.\n")
