# Writes a C++ source holding a file's bytes as zor::resources::<NAME>.
# cmake -DINPUT=file -DOUTPUT=file.cpp -DNAME=Identifier -P EmbedResource.cmake
file(READ "${INPUT}" _hex HEX)
string(LENGTH "${_hex}" _len)
math(EXPR _size "${_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
# Twenty bytes per line keeps the generated file readable in a debugger.
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){20})" "\\1\n  " _bytes "${_bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT}; do not edit.
#include <cstddef>

namespace zor::resources {
extern const unsigned char ${NAME}[];
extern const size_t ${NAME}Size;
const unsigned char ${NAME}[] = {
  ${_bytes}0x00};
const size_t ${NAME}Size = ${_size};
}  // namespace zor::resources
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
