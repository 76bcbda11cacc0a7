// The message checker: every line of a message file against what the panel and its font
// can show.
#include "message/message_check.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "data/message_script.h"

// A line may wrap once: more would scroll its start off before the reader got to it.
constexpr int maxLineShown = 2 * panelColumns;
// Printable ASCII: the font's atlas has a glyph for each, and none for 127.
constexpr unsigned char firstPrintable = ' ', lastPrintable = '~';
constexpr char lineFeed = '\n';
constexpr unsigned byteOrderMark = 0xFEFF;

bool readMessageFile(const char* path, std::string* bytes, std::string* error) {
    FILE* file = fopen(path, "rb");
    if (!file) {
        *error = strerror(errno);
        return false;
    }
    bytes->clear();
    char buffer[4096];
    size_t got;
    while ((long)bytes->size() <= maxMessageBytes && (got = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes->append(buffer, got);
    const bool ok = !ferror(file);
    if (!ok) *error = strerror(errno);
    fclose(file);
    return ok;
}

namespace {

struct Report {
    const char* fileName;
    std::string* text;
    bool faulty;
};

void note(Report& r, bool fault, int line, int column, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
void note(Report& r, bool fault, int line, int column, const char* format, ...) {
    char what[256];
    va_list args;
    va_start(args, format);
    vsnprintf(what, sizeof what, format, args);
    va_end(args);
    char where[64];
    snprintf(where, sizeof where, ":%d:%d: %s: ", line, column, fault ? "error" : "warning");
    *r.text += r.fileName;
    *r.text += where;
    *r.text += what;
    *r.text += lineFeed;
    r.faulty = r.faulty || fault;
}

// The length of the well-formed UTF-8 sequence of two to four bytes at bytes[i], and its
// code point; 0 when the bytes there are not one.
size_t utf8Sequence(const std::string& bytes, size_t i, unsigned* codePoint) {
    const unsigned char lead = (unsigned char)bytes[i];
    size_t length;
    unsigned value, least;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2, value = lead & 0x1F, least = 0x80;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, value = lead & 0x0F, least = 0x800;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, value = lead & 0x07, least = 0x10000;
    else return 0;
    if (i + length > bytes.size()) return 0;
    for (size_t k = 1; k < length; k++) {
        const unsigned char next = (unsigned char)bytes[i + k];
        if ((next & 0xC0) != 0x80) return 0;
        value = value << 6 | (next & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *codePoint = value;
    return length;
}

// Checks the character at bytes[i] (not a line feed); returns how many bytes it took.
size_t checkCharacter(Report& r, const std::string& bytes, size_t i, int line, int column) {
    const unsigned char ch = (unsigned char)bytes[i];
    if (ch >= firstPrintable && ch <= lastPrintable) return 1;
    unsigned codePoint;
    const size_t length = ch >= 0x80 ? utf8Sequence(bytes, i, &codePoint) : 0;
    if (length && codePoint == byteOrderMark) {
        // Invisible: quoting it would show nothing.
        if (i == 0) note(r, true, line, column, "the file starts with a byte-order mark: save it without one");
        else note(r, true, line, column, "an invisible byte-order mark (U+FEFF): remove it");
        return length;
    }
    if (length) {
        note(r, true, line, column,
             "'%s' (U+%04X) is not a printable ASCII character; the font holds only codes "
             "32 to 126",
             bytes.substr(i, length).c_str(), codePoint);
        return length;
    }
    if (ch == 0) note(r, true, line, column, "a zero byte would end the message here");
    else if (ch == '\r') note(r, true, line, column, "carriage return: save the file with plain line feeds");
    else if (ch == '\t') note(r, true, line, column, "tab: use spaces, the panel has fixed columns");
    else
        note(r, true, line, column,
             "byte 0x%02X is not a printable ASCII character; the font holds only codes 32 to 126",
             ch);
    return 1;
}

// A line that fills its last row exactly leaves the cursor at the start of the next row, and
// its line feed moves it on again: an empty row. (The file's final line feed is not typed.)
void checkLineEnd(Report& r, int line, int shown, int lastColumn) {
    if (shown > 0 && shown % panelColumns == 0 && shown <= maxLineShown)
        note(r, false, line, lastColumn,
             "the line shows exactly %d characters: the panel wraps after it and leaves an "
             "empty row",
             shown);
}

}  // namespace

bool checkMessageText(const std::string& bytes, const char* fileName, std::string* script,
                      std::string* diagnostics) {
    Report r = {fileName, diagnostics, false};
    if (bytes.empty()) {
        note(r, true, 1, 1, "the message is empty");
        return false;
    }
    if ((long)bytes.size() > maxMessageBytes) {
        note(r, true, 1, 1, "the message is longer than %ld bytes", maxMessageBytes);
        return false;
    }
    int line = 1, column = 1, shown = 0;
    for (size_t i = 0; i < bytes.size();) {
        if (bytes[i] == lineFeed) {
            if (i + 1 < bytes.size()) checkLineEnd(r, line, shown, column - 1);
            line++;
            column = 1;
            shown = 0;
            i++;
            continue;
        }
        const bool pause = bytes[i] == messagePauseMark;
        i += checkCharacter(r, bytes, i, line, column);
        if (!pause && ++shown == maxLineShown + 1)
            note(r, true, line, column,
                 "the line shows more than %d characters; break it (the panel wraps at %d)",
                 maxLineShown, panelColumns);
        column++;
    }
    if (bytes.back() != lineFeed)
        note(r, true, line, column, "the last line has no line feed: the file may be cut short");
    if (r.faulty) return false;
    script->assign(bytes, 0, bytes.size() - 1);
    return true;
}
