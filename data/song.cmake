# The song of the run folder: ours, rendered by xoon-compose beside its ground truth, or a
# user's own Ogg Vorbis song given with -DXOON_SONG=path/to/song.ogg (no ground truth then).
set(XOON_SONG "" CACHE FILEPATH "Your own Ogg Vorbis song to build the show for; empty: ours")
set(XOON_SONG_FILE ${XOON_RUN_DIR}/xoon09.ogg)
if(XOON_SONG)
  get_filename_component(userSong "${XOON_SONG}" ABSOLUTE BASE_DIR ${CMAKE_BINARY_DIR})
  if(NOT EXISTS "${userSong}" OR IS_DIRECTORY "${userSong}")
    message(FATAL_ERROR "XOON_SONG: no such song file: ${XOON_SONG}")
  endif()
  set(XOON_SONG_TRUTH "")
  add_custom_command(OUTPUT ${XOON_SONG_FILE}
    COMMAND ${CMAKE_COMMAND} -E copy "${userSong}" ${XOON_SONG_FILE}
    DEPENDS "${userSong}"
    COMMENT "Copying your song into the run folder")
else()
  set(XOON_SONG_TRUTH ${CMAKE_BINARY_DIR}/data/song-truth.txt)
  add_custom_command(OUTPUT ${XOON_SONG_FILE} ${XOON_SONG_TRUTH}
    COMMAND xoon-compose ${XOON_SONG_FILE} ${XOON_SONG_TRUTH}
    DEPENDS xoon-compose
    COMMENT "Rendering our song and its ground truth")
endif()
list(APPEND XOON_RUN_FILES ${XOON_SONG_FILE})
