# Makes one format of the GNOME Shell extension: the format's own lines (TEMPLATE) with the part
# both formats share (SHARED) in place of the line that reads @FRONTMOST_REPORTER@, written to
# OUTPUT. Run by CMake in script mode at build time:
#   cmake -DTEMPLATE=... -DSHARED=... -DOUTPUT=... -P splice-extension.cmake
# Fails the build when the template holds that line other than once: an extension without the
# shared part, or with it twice, would load and then never answer the agent.
foreach(variable TEMPLATE SHARED OUTPUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "splice-extension: ${variable} is not set")
  endif()
endforeach()

set(marker "@FRONTMOST_REPORTER@\n")
file(READ "${TEMPLATE}" template)
file(READ "${SHARED}" shared)
string(LENGTH "${marker}" markerLength)
string(FIND "${template}" "${marker}" first)
string(FIND "${template}" "${marker}" last REVERSE)
if(first EQUAL -1 OR NOT first EQUAL last)
  message(FATAL_ERROR "splice-extension: ${TEMPLATE} must hold the line @FRONTMOST_REPORTER@ "
                      "exactly once")
endif()
# At the start of a line only, so that a mention of the marker inside code is not taken for it.
if(first GREATER 0)
  math(EXPR before "${first} - 1")
  string(SUBSTRING "${template}" ${before} 1 previous)
  if(NOT previous STREQUAL "\n")
    message(FATAL_ERROR "splice-extension: in ${TEMPLATE}, @FRONTMOST_REPORTER@ must stand on "
                        "a line of its own")
  endif()
endif()
string(SUBSTRING "${template}" 0 ${first} head)
math(EXPR tailStart "${first} + ${markerLength}")
string(SUBSTRING "${template}" ${tailStart} -1 tail)
file(WRITE "${OUTPUT}" "${head}${shared}${tail}")
