// What the companions' findings suggest a user meant.
#ifndef LUMPSMITH_HINTS_H
#define LUMPSMITH_HINTS_H

#include <string>
#include <string_view>

// text in lower case (ASCII letters only).
std::string lower(std::string text);
// text without the blanks, tabs and carriage returns around it.
std::string trimmed(std::string_view text);
// The surface name text would be without its case and the blanks and
// carriage returns around it; nullptr when there is none.
const char *meant_surface(std::string_view text);
// The finding for an unknown surface: 'unknown surface "NAME"', escaped,
// with ' (did you mean "NAME"?)' where meant_surface has an answer.
std::string unknown_surface(std::string_view surface);

#endif
