# Writes a C++ source file that defines a function returning the bytes of a file.
#
#   cmake -DINPUT=<file> -DOUTPUT=<file.cpp> -DHEADER=<header declaring it>
#         -DFUNCTION=<name> -P bin2cpp.cmake
#
# The function has the form  std::span<const std::uint8_t> NAME();
foreach(name INPUT OUTPUT HEADER FUNCTION)
  if(NOT DEFINED ${name} OR "${${name}}" STREQUAL "")
    message(FATAL_ERROR "bin2cpp: -D${name}=... is required")
  endif()
endforeach()
if(NOT EXISTS "${INPUT}" OR IS_DIRECTORY "${INPUT}")
  message(FATAL_ERROR "bin2cpp: input file ${INPUT} does not exist")
endif()
file(SIZE "${INPUT}" size)
if(size EQUAL 0)
  message(FATAL_ERROR "bin2cpp: input file ${INPUT} is empty")
endif()

file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "(..)" "0x\\1," bytes "${hex}")
# Sixteen bytes a line.
string(REPEAT "0x..," 16 line_pattern)
string(REGEX REPLACE "(${line_pattern})" "\\1\n    " bytes "${bytes}")
string(REGEX REPLACE "[ \n]+$" "" bytes "${bytes}")

get_filename_component(input_name "${INPUT}" NAME)
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${input_name} (${size} bytes) by tools/bin2cpp/bin2cpp.cmake. Do not edit.
#include \"${HEADER}\"

namespace {

alignas(8) constexpr std::uint8_t kBytes[${size}] = {
    ${bytes}
};

}  // namespace

std::span<const std::uint8_t> ${FUNCTION}() { return kBytes; }
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
