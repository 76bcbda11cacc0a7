# The onset table compiled into the show: our scorer run on the song (XOON_SONG_SOURCE, set
# by song.cmake), written whole or not at all. It is scored again only when the song or the
# scorer changes.
add_custom_command(OUTPUT ${XOON_ONSET_SOURCE}
  COMMAND xoon-score "${XOON_SONG_SOURCE}" -o ${XOON_ONSET_SOURCE}
  DEPENDS xoon-score "${XOON_SONG_SOURCE}"
  COMMENT "Scoring the onsets of ${XOON_SONG_SOURCE}"
  VERBATIM)
list(APPEND XOON_DATA_SOURCES ${XOON_ONSET_SOURCE})
