#include "failure.h"

#include <cstdio>
#include <cstring>

namespace {

// How many bytes from p on make one character that may be shown as it is:
// printable ASCII, or a valid UTF-8 sequence that is no C1 control. 0 for
// a byte that must be escaped.
std::size_t printable_length(const unsigned char *p, std::size_t left)
{
    const unsigned char lead = p[0];
    if (lead >= 0x20 && lead < 0x7F)
        return 1;
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3 : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
    // The second byte's range (later ones are 80..BF): C2 80..9F encode the
    // C1 controls; no overlongs (E0, F0), surrogates (ED) or past U+10FFFF (F4).
    const unsigned char low = lead == 0xC2 || lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    if (length == 0 || left < length || p[1] < low || p[1] > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (p[k] < 0x80 || p[k] > 0xBF)
            return 0;
    return length;
}

}  // namespace

std::string shell_word(std::string_view path)
{
    if (!path.empty() && path.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                "0123456789_./+,:@%=-") == std::string_view::npos)
        return std::string(path);
    std::string word = "'";
    for (const char c : path)
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + "'";
}

std::string describe_failure(const failure &f)
{
    // Whether it is about writing, and the words after the path; none where
    // the system's reason says it all.
    bool writing = false;
    std::string phrase;
    switch (f.status) {
    case NO_FAILURE: phrase = "no error"; break;
    case MAP_NOT_REGULAR: phrase = "not a regular file"; break;
    case MAP_IS_DIRECTORY: phrase = "is a directory"; break;
    case MAP_ZIP_ARCHIVE:
        phrase = "it is a zip archive (.pk3), not a map; extract the map first: unzip " + shell_word(f.path) + " 'maps/*.bsp'";
        break;
    case MAP_SHORT_HEADER: phrase = "file is shorter than the 144-byte header"; break;
    case MAP_OUTSIDE_FILE: phrase = "texture lump reaches past the end of the file"; break;
    case MAP_OVERLAPS_HEADER: phrase = "texture lump overlaps the 144-byte header"; break;
    case MAP_LOCK_FAILED: phrase = "cannot lock the file"; break;
    case MAP_READ_FAILED: case OUT_OF_MEMORY: case INPUT_UNREADABLE: break;
    case MAP_CHANGED: writing = true, phrase = "it changed during the import (replaced or rewritten by another program); nothing was written"; break;
    case MAP_OVER_SIZE_LIMIT: writing = true, phrase = "the file-size limit (ulimit -f) ends before the texture lump does; nothing was written"; break;
    case MAP_NO_SPACE: writing = true, phrase = "no space on the disk for the texture lump; nothing was written"; break;
    case MAP_RESERVE_FAILED: writing = true, phrase = "cannot reserve disk space for the texture lump, so nothing was written"; break;
    case MAP_SYNC_FAILED: writing = true, phrase = "the texture lump may not have reached the disk"; break;
    case MAP_WRITE_FAILED: case MAP_ROLLBACK_FAILED: case OUTPUT_UNWRITABLE: writing = true; break;
    }
    std::string text = (writing ? "Cannot write " : "Cannot read ") + escaped(f.path);
    if (!phrase.empty())
        text += ": " + escaped(phrase);
    if (f.error != 0)
        text += std::string(": ") + std::strerror(f.error);
    if (f.holds_text)
        text += "; it looks like a surface file, not a map: the map comes first";
    if (f.status == MAP_ROLLBACK_FAILED)
        text += std::string("; the old texture lump could not be written back either, so the map may be damaged: ") +
                std::strerror(f.rollback_error);
    return text;
}

void append_escaped(std::string *to, std::string_view text)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = printable_length(bytes + i, text.size() - i);
        if (length > 0) {
            to->append(text.substr(i, length));
            i += length;
            continue;
        }
        const unsigned char byte = bytes[i++];
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", byte);
        *to += byte == '\r' ? "\\r" : byte == '\n' ? "\\n" : byte == '\t' ? "\\t" : hex;
    }
}

std::string escaped(std::string_view text)
{
    std::string to;
    append_escaped(&to, text);
    return to;
}
