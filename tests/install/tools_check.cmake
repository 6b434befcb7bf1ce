# xmldump as a user meets it, next to xmlload and xmlquery: usage, error
# lines, the text of a stored document, and a database left as it was.
#
#   cmake -DXMLLOAD=path -DXMLDUMP=path -DXMLQUERY=path -DWORKDIR=dir
#         -P tools_check.cmake
#
# The install test includes this file and calls check_tools on the installed
# programs. Every failed check is reported; the run fails if any did.

cmake_minimum_required(VERSION 3.25)

set(_TOOLS_CHECK_DIR ${CMAKE_CURRENT_LIST_DIR})

# Runs a command and leaves its standard output, standard error and exit
# status in <prefix>_out, <prefix>_err and <prefix>_rc.
function(tool_run prefix)
  execute_process(COMMAND ${ARGN}
    OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  set(${prefix}_out "${out}" PARENT_SCOPE)
  set(${prefix}_err "${err}" PARENT_SCOPE)
  set(${prefix}_rc "${rc}" PARENT_SCOPE)
endfunction()

function(tool_expect what actual expected)
  if(NOT "${actual}" STREQUAL "${expected}")
    message(SEND_ERROR "${what}\n--- expected\n${expected}\n--- actual\n${actual}")
  endif()
endfunction()

# A failure to read `file`: nothing on standard output, exit status 1 and
# one line "Error reading database <file>: <message>" with a message.
function(expect_read_error xmldump file)
  tool_run(r "${xmldump}" "${file}")
  tool_expect("xmldump ${file}: exit status" "${r_rc}" "1")
  tool_expect("xmldump ${file}: standard output" "${r_out}" "")
  set(prefix "Error reading database ${file}: ")
  string(LENGTH "${prefix}" length)
  string(LENGTH "${r_err}" total)
  string(SUBSTRING "${r_err}" 0 ${length} head)
  set(reason "")
  if(total GREATER length)
    string(SUBSTRING "${r_err}" ${length} -1 reason)
  endif()
  if(NOT head STREQUAL prefix OR NOT reason MATCHES "^[^\n]*[^ \n][^\n]*\n$")
    message(SEND_ERROR "xmldump ${file}: not one error line with a message:\n${r_err}")
  endif()
endfunction()

function(check_usage xmldump)
  string(CONCAT usage
    "Reads an XML document from a LUMXML database and outputs it to\n"
    "standard output in plain text.\n"
    "\n"
    "Usage:\n"
    "  ${xmldump} dbfile\n")
  foreach(line IN ITEMS "" "one two")
    separate_arguments(arguments UNIX_COMMAND "${line}")
    tool_run(u "${xmldump}" ${arguments})
    tool_expect("xmldump with '${line}': exit status" "${u_rc}" "1")
    tool_expect("xmldump with '${line}': usage" "${u_out}" "${usage}")
    tool_expect("xmldump with '${line}': standard error" "${u_err}" "")
  endforeach()
endfunction()

# Dumps `db` and checks the exact output and that the file did not change.
function(expect_dump xmldump db expected)
  file(SHA256 "${db}" before)
  tool_run(d "${xmldump}" "${db}")
  tool_expect("xmldump ${db}: exit status" "${d_rc}" "0")
  tool_expect("xmldump ${db}: standard error" "${d_err}" "")
  tool_expect("xmldump ${db}: document" "${d_out}" "${expected}")
  file(SHA256 "${db}" after)
  tool_expect("xmldump ${db}: database changed by reading it" "${after}" "${before}")
endfunction()

function(check_tools xmlload xmldump xmlquery workdir)
  file(REMOVE_RECURSE "${workdir}")
  file(MAKE_DIRECTORY "${workdir}")
  check_usage("${xmldump}")
  expect_read_error("${xmldump}" "${workdir}/missing.db")
  expect_read_error("${xmldump}" "${_TOOLS_CHECK_DIR}/sample.xml")

  # Character data and attribute values escaped, non-ASCII as references,
  # empty elements as start and end tag, the root's attributes kept.
  set(db "${workdir}/sample.db")
  tool_run(l "${xmlload}" "${_TOOLS_CHECK_DIR}/sample.xml" "${db}")
  tool_expect("xmlload sample.xml: exit status" "${l_rc}" "0")
  file(READ "${_TOOLS_CHECK_DIR}/sample.dump" dump)
  expect_dump("${xmldump}" "${db}" "${dump}")

  # The output is XML that loads again into the same document.
  file(WRITE "${workdir}/again.xml" "${dump}")
  tool_run(l "${xmlload}" "${workdir}/again.xml" "${workdir}/again.db")
  tool_expect("xmlload of the dump: exit status" "${l_rc}" "0")
  expect_dump("${xmldump}" "${workdir}/again.db" "${dump}")

  tool_run(q "${xmlquery}" "${db}" item price 3.50)
  tool_expect("xmlquery item price 3.50" "${q_out}"
    "<?xml version=\"1.0\"?><item id=\"2\"><price currency=\"EUR\">3.50</price><label>5 &lt; 6 &gt; 4, &quot;quoted&quot; and 'single'</label></item>\n")

  # A database without a document (what an empty file leaves) gets an empty
  # document the first time it is read; after that it stays as it is.
  file(WRITE "${workdir}/empty.xml" "")
  execute_process(COMMAND "${xmlload}" "${workdir}/empty.xml" "${workdir}/empty.db"
    OUTPUT_QUIET ERROR_QUIET)
  if(NOT EXISTS "${workdir}/empty.db")
    message(SEND_ERROR "xmlload of an empty file left no database")
  else()
    tool_run(d "${xmldump}" "${workdir}/empty.db")
    tool_expect("xmldump of a database without a document" "${d_out}|${d_err}|${d_rc}"
      "<?xml version=\"1.0\"?>\n||0")
    expect_dump("${xmldump}" "${workdir}/empty.db" "<?xml version=\"1.0\"?>\n")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  check_tools("${XMLLOAD}" "${XMLDUMP}" "${XMLQUERY}" "${WORKDIR}")
endif()
