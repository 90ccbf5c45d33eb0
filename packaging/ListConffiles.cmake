# cmake -DROOT=DIR -DOUTPUT=FILE -P ListConffiles.cmake: lists the files below DIR/etc as the
# absolute paths they are installed at, one a line, for the package's conffiles.
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${ROOT} ${ROOT}/etc/*)
list(SORT files)
set(text "")
foreach(file ${files})
  string(APPEND text "/${file}\n")
endforeach()
file(WRITE ${OUTPUT} "${text}")
