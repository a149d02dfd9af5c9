# cmake -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name -P VxEmbed.cmake
# Writes a C++ source defining `const unsigned char SYMBOL[]` with the bytes
# of INPUT and `const size_t SYMBOL_size`.
file(READ ${INPUT} _hex HEX)
string(LENGTH "${_hex}" _len)
math(EXPR _size "${_len} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _bytes "${_hex}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n" _bytes "${_bytes}")
file(WRITE ${OUTPUT}
  "// Generated from ${INPUT}; do not edit.\n#include <cstddef>\n"
  "extern const unsigned char ${SYMBOL}[] = {\n${_bytes}\n};\n"
  "extern const size_t ${SYMBOL}_size = ${_size};\n")
