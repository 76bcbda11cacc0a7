# The message script. Placeholder until the message generator lands.
set(messageSource ${CMAKE_CURRENT_BINARY_DIR}/message_script.cpp)
file(WRITE ${messageSource}.in
  "#include \"message_script.h\"\nconst char messageScript[] = \"###########Hello\";\n")
configure_file(${messageSource}.in ${messageSource} COPYONLY)
list(APPEND XOON_DATA_SOURCES ${messageSource})
