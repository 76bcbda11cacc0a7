# The font atlas fona.png, rendered by xoon-fontmake from DejaVu Sans Mono Bold
# (Debian's fonts-dejavu-core) into the run folder.
find_file(XOON_FONT_SOURCE DejaVuSansMono-Bold.ttf
  PATHS ${CMAKE_SYSTEM_PREFIX_PATH} PATH_SUFFIXES share/fonts/truetype/dejavu NO_DEFAULT_PATH
  DOC "The outline font the atlas is rendered from")
if(NOT XOON_FONT_SOURCE)
  message(FATAL_ERROR "DejaVuSansMono-Bold.ttf not found: install Debian's fonts-dejavu-core")
endif()
set(fontAtlas ${XOON_RUN_DIR}/fona.png)
add_custom_command(OUTPUT ${fontAtlas}
  COMMAND xoon-fontmake ${XOON_FONT_SOURCE} ${fontAtlas}
  DEPENDS xoon-fontmake ${XOON_FONT_SOURCE}
  COMMENT "Rendering the font atlas"
  VERBATIM)
list(APPEND XOON_RUN_FILES ${fontAtlas})
