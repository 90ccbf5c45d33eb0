# Writes a C++ source with the bytes of the PNG pictures, so the program carries its images.
# Called as: cmake -DOUTPUT=file.cpp -DINPUTS="105=a.png|106=b.png" -P EmbedImages.cmake
set(body "")
set(table "")
string(REPLACE "|" ";" INPUTS "${INPUTS}")
foreach(pair IN LISTS INPUTS)
  string(REPLACE "=" ";" parts "${pair}")
  list(GET parts 0 id)
  list(GET parts 1 file)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
  string(APPEND body "const uint8_t kPng${id}[${size}] = {\n    ${bytes}\n};\n")
  string(APPEND table "    {${id}, kPng${id}, sizeof kPng${id}},\n")
endforeach()
file(WRITE "${OUTPUT}.tmp"
  "// Generated from resources/images by EmbedImages.cmake; do not edit.\n"
  "#include \"resources/images/EmbeddedImages.h\"\n\nnamespace {\n${body}}  // namespace\n\n"
  "const EmbeddedImage kEmbeddedImages[] = {\n${table}};\n"
  "const size_t kEmbeddedImageCount = sizeof kEmbeddedImages / sizeof kEmbeddedImages[0];\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
