# The song the show is built for: ours, rendered by xoon-compose beside its ground truth, or
# a user's own song given with -DXOON_SONG=path/to/song.ogg (no ground truth then). Sets
# XOON_SONG_SOURCE, the file that is scored where it is and then placed in the run folder
# (see data/CMakeLists.txt); every message names it. Paths reach the commands through
# VERBATIM, so any name a file system allows works.
set(XOON_SONG "" CACHE FILEPATH "Your own song to build the show for; empty: ours")
set(XOON_SONG_FILE ${XOON_RUN_DIR}/xoon09.ogg)
if(XOON_SONG)
  get_filename_component(userSong "${XOON_SONG}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
  if(NOT EXISTS "${userSong}" OR IS_DIRECTORY "${userSong}")
    message(FATAL_ERROR "XOON_SONG: no such song file: ${XOON_SONG}")
  endif()
  set(XOON_SONG_SOURCE "${userSong}")
  set(XOON_SONG_TRUTH "")
else()
  set(XOON_SONG_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/xoon09.ogg)
  set(XOON_SONG_TRUTH ${CMAKE_CURRENT_BINARY_DIR}/song-truth.txt)
  add_custom_command(OUTPUT ${XOON_SONG_SOURCE} ${XOON_SONG_TRUTH}
    COMMAND xoon-compose ${XOON_SONG_SOURCE} ${XOON_SONG_TRUTH}
    DEPENDS xoon-compose
    COMMENT "Rendering our song and its ground truth"
    VERBATIM)
endif()
