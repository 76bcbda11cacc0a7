# The song of the run folder. Placeholder until the composer lands: a short test song.
set(XOON_SONG_FILE ${XOON_RUN_DIR}/xoon09.ogg)
add_custom_command(OUTPUT ${XOON_SONG_FILE}
  COMMAND xoon-testsong ${XOON_SONG_FILE} --seconds 20
  DEPENDS xoon-testsong
  COMMENT "Rendering the placeholder song")
list(APPEND XOON_RUN_FILES ${XOON_SONG_FILE})
