# The onset table compiled into the show: our scorer run on the song of the run folder.
# It is scored again only when the song or the scorer changes.
set(onsetSource ${CMAKE_CURRENT_BINARY_DIR}/onset_table.cpp)
add_custom_command(OUTPUT ${onsetSource}
  COMMAND xoon-score ${XOON_SONG_FILE} -o ${onsetSource}
  DEPENDS xoon-score ${XOON_SONG_FILE}
  COMMENT "Scoring the onsets of ${XOON_SONG_FILE}"
  VERBATIM)
list(APPEND XOON_DATA_SOURCES ${onsetSource})
