# Writes scorer_id.h: one hash of the sources that decide a song's onset table (the
# analysis and the decoder), so a cached table of another scorer is never taken for ours.
# Run at build time with -DOUTPUT=header -DSOURCES=list.
set(all "")
foreach(source ${SOURCES})
  file(SHA256 ${source} one)
  string(APPEND all "${one}")
endforeach()
string(SHA256 id "${all}")
set(text "// The scorer's identity for the score cache, written by scorer_id.cmake: do not edit.\n#pragma once\nconstexpr const char* scorerSourceId = \"${id}\";\n")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL text)
  file(WRITE ${OUTPUT} "${text}")
endif()
