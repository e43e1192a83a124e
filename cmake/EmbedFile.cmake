# cmake -DINPUT=file -DOUTPUT=file.cc -DSYMBOL=name -P EmbedFile.cmake
#
# Writes a C++ source that defines `std::string_view vexa::embedded::SYMBOL()`
# returning the bytes of INPUT.
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
string(REGEX REPLACE "(([^,]*,){16})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "#include <string_view>\n\n"
  "namespace vexa::embedded {\n\n"
  "namespace {\nconst char k${SYMBOL}Bytes[] = {\n    ${bytes}'\\0'};\n}  // namespace\n\n"
  "std::string_view ${SYMBOL}() { return std::string_view(k${SYMBOL}Bytes, ${size}); }\n\n"
  "}  // namespace vexa::embedded\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
