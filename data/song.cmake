# The song and its onset table. Placeholder until the composer and scorer land:
# a short test song and a table with one empty record.
set(songFile ${XOON_RUN_DIR}/xoon09.ogg)
add_custom_command(OUTPUT ${songFile}
  COMMAND xoon-testsong ${songFile} --seconds 20
  DEPENDS xoon-testsong
  COMMENT "Rendering the placeholder song")
set(onsetSource ${CMAKE_CURRENT_BINARY_DIR}/onset_table.cpp)
file(WRITE ${onsetSource}.in
  "#include \"onset_table.h\"\nconst OnsetFrame onsetTable[1] = {{23, {0}}};\nconst int32_t onsetFrameCount = 1;\n")
configure_file(${onsetSource}.in ${onsetSource} COPYONLY)
list(APPEND XOON_DATA_SOURCES ${onsetSource})
list(APPEND XOON_RUN_FILES ${songFile})
