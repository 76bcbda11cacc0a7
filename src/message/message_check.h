// The message checker: what a message text file must hold for the panel to type it, and the
// script it becomes. xoon-message runs it at build time; a program that takes a message at
// run time runs the same check.
#pragma once
#include <string>

constexpr long maxMessageBytes = 65536;  // a message file may hold at most this much

// Reads a message file whole, or its first maxMessageBytes + 1 bytes when it is longer
// (enough for the check to refuse it). False with the reason (strerror's) when unreadable.
bool readMessageFile(const char* path, std::string* bytes, std::string* error);

// Checks a message file's bytes. True when the panel can type it: script then holds the
// message as typed (the file less its final line feed). diagnostics gets one line per
// finding, each ending in a line feed: "FILE:LINE:COLUMN: error: ..." for a fault (any fault
// makes the check fail) and "FILE:LINE:COLUMN: warning: ..." for what types but looks
// wrong. fileName is the name to report, the one the user gave. LINE and COLUMN count from
// 1, COLUMN in characters (a UTF-8 character is one).
bool checkMessageText(const std::string& bytes, const char* fileName, std::string* script,
                      std::string* diagnostics);
