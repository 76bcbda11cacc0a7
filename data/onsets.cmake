# The onset table compiled into the show. Placeholder until the scorer lands: one empty record.
set(onsetSource ${CMAKE_CURRENT_BINARY_DIR}/onset_table.cpp)
file(WRITE ${onsetSource}.in
  "#include \"onset_table.h\"\nconst OnsetFrame onsetTable[1] = {{23, {0}}};\nconst int32_t onsetFrameCount = 1;\n")
configure_file(${onsetSource}.in ${onsetSource} COPYONLY)
list(APPEND XOON_DATA_SOURCES ${onsetSource})
