#include "game/hints.h"

#include <cctype>

#include "failure.h"
#include "surfaces/surfaces.h"

std::string lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trimmed(std::string_view text)
{
    const std::size_t start = text.find_first_not_of(" \t\r");
    return start == text.npos ? "" : std::string(text.substr(start, text.find_last_not_of(" \t\r") + 1 - start));
}

const char *meant_surface(std::string_view text)
{
    const int index = surface_index_of(lower(trimmed(text)));
    return index < 0 ? nullptr : surface_names[index];
}

std::string unknown_surface(std::string_view surface)
{
    const char *meant = meant_surface(surface);
    return "unknown surface \"" + escaped(surface) + "\"" + (meant ? std::string(" (did you mean \"") + meant + "\"?)" : "");
}
