# The message script: data/message.txt, or a user's own file given as -DXOON_MESSAGE=FILE,
# checked and turned into the compiled-in messageScript by xoon-message.
set(XOON_MESSAGE "" CACHE FILEPATH
  "A message text file of your own, typed by the panel instead of data/message.txt")
# The file is checked where it is, and its path reaches the command through VERBATIM, so any
# name a file system allows works; every fault is named FILE:LINE:COLUMN in the user's file.
if(XOON_MESSAGE)
  get_filename_component(messageText "${XOON_MESSAGE}" ABSOLUTE BASE_DIR "${CMAKE_BINARY_DIR}")
  if(NOT EXISTS "${messageText}" OR IS_DIRECTORY "${messageText}")
    message(FATAL_ERROR "XOON_MESSAGE: no such message file: ${XOON_MESSAGE}")
  endif()
else()
  set(messageText ${CMAKE_CURRENT_SOURCE_DIR}/message.txt)
endif()
set(messageSource ${CMAKE_CURRENT_BINARY_DIR}/message_script.cpp)
add_custom_command(OUTPUT ${messageSource}
  COMMAND xoon-message "${messageText}" ${messageSource}
  DEPENDS xoon-message "${messageText}"
  COMMENT "Checking and compiling the message script ${messageText}"
  VERBATIM)
list(APPEND XOON_DATA_SOURCES ${messageSource})
