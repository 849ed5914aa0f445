#include "plain_reading.h"

#include <cstdio>
#include <cstring>

#include "surfaces/surfaces.h"

namespace {

std::uint32_t le32(const unsigned char *p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool reads_back(const std::string &name)
{
    return name.find('\n') == std::string::npos && (name + " = ").find(" = ") == name.size();
}

}  // namespace

std::string surface_text(std::uint32_t flags)
{
    if ((flags >> 20) < 32)
        return surface_names[flags >> 20];
    char text[16];
    std::snprintf(text, sizeof text, "unknown (%03x)", flags >> 20);
    return text;
}

plain_map read_plainly(const bytes &map)
{
    plain_map m{false, {}};
    // A zip archive (a .pk3) is never a map, whatever its bytes 16..23 say.
    if (map.size() < 144 || std::memcmp(map.data(), "PK\3\4", 4) == 0)
        return m;
    const std::uint64_t offset = le32(&map[16]);
    const std::uint64_t length = le32(&map[20]);
    if (offset + length > map.size() || (length > 0 && offset < 144))
        return m;
    m.readable = true;
    for (std::uint64_t at = offset; at + 72 <= offset + length; at += 72) {
        const char *name = reinterpret_cast<const char *>(&map[at]);
        m.records.push_back({std::string(name, strnlen(name, 64)), at + 64, le32(&map[at + 64]), le32(&map[at + 68])});
    }
    return m;
}

std::string expected_listing(const plain_map &m)
{
    std::string text = "Textures:\n";
    for (const plain_record &r : m.records) {
        if (r.name == "noshader")
            continue;
        char flags[16];
        std::snprintf(flags, sizeof flags, "0x%08x", r.flags);
        text += std::string(flags) + " - " + r.name + "\n";
    }
    return text;
}

// The export's text, and how many records it must refuse.
std::string expected_export(const plain_map &m, std::size_t *refused)
{
    std::string text;
    *refused = 0;
    for (const plain_record &r : m.records) {
        if ((r.flags & 0x84) != 0 || (r.contents & 1) == 0 || r.name == "noshader")
            continue;
        if (reads_back(r.name))
            text += r.name + " = " + surface_text(r.flags) + "\n";
        else
            ++*refused;
    }
    return text;
}

// The character at text[i] if it is valid UTF-8, its length and code point;
// 0 when it is not.
static std::size_t utf8_at(const std::string &text, std::size_t i, std::uint32_t *code)
{
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const std::size_t n = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size())
        return 0;
    std::uint32_t value = n == 1 ? lead : lead & (0x7Fu >> n);
    for (std::size_t k = 1; k < n; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next >> 6) != 2)
            return 0;
        value = value << 6 | (next & 0x3F);
    }
    const std::uint32_t least[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < least[n] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *code = value;
    return n;
}

std::string in_quotes(const std::string &text)
{
    std::string q = "\"";
    for (std::size_t i = 0; i < text.size();) {
        std::uint32_t code = 0;
        const std::size_t n = utf8_at(text, i, &code);
        const bool control = code < 0x20 || code == 0x7F || (code >= 0x80 && code <= 0x9F);
        if (n > 0 && !control) {
            q += text.substr(i, n);
            i += n;
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(text[i++]);
        char escape[8];
        if (c == '\r' || c == '\n' || c == '\t')
            q += c == '\r' ? "\\r" : c == '\n' ? "\\n" : "\\t";
        else
            q += (std::snprintf(escape, sizeof escape, "\\x%02X", c), escape);
    }
    return q + "\"";
}

// Pieces of at most 127 bytes ending after a line feed, each ending at its
// first NUL, split at the first " = ": the lines as the import must read them.
plain_import import_plainly(const bytes &map, const plain_map &m, const bytes &text)
{
    plain_import result{map, "", std::vector<bool>(m.records.size())};
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = 0;
        while (length < 127 && at + length < text.size() && text[at + length++] != '\n') {
        }
        const char *piece = reinterpret_cast<const char *>(&text[at]);
        const std::string line(piece, strnlen(piece, length));
        at += length;
        const std::size_t separator = line.find(" = ");
        if (separator == std::string::npos)
            continue;
        const std::string name = line.substr(0, separator);
        std::string surface = line.substr(separator + 3);
        if (!surface.empty() && surface.back() == '\n')
            surface.pop_back();
        int index = -1;
        for (int i = 0; i < 32 && index < 0; ++i)
            if (surface == surface_names[i])
                index = i;
        if (index < 0) {
            result.err += "Error: Unknown surface " + in_quotes(surface) + "\n";
            continue;
        }
        for (std::size_t r = 0; r < m.records.size(); ++r) {
            if (m.records[r].name != name)
                continue;
            result.named[r] = true;
            unsigned char *flags = &result.map[m.records[r].flags_at];
            const std::uint32_t value = (le32(flags) & 0xFFFFF) | static_cast<std::uint32_t>(index) << 20;
            for (int b = 0; b < 4; ++b)
                flags[b] = static_cast<unsigned char>(value >> (8 * b));
        }
    }
    return result;
}

// Every changed byte lies in the top twelve bits of the surface flags of a
// record the surface file named.
bool only_named_surfaces_changed(const bytes &before, const bytes &after, const plain_map &m,
                                 const std::vector<bool> &named)
{
    bytes masked_before = before;
    bytes masked_after = after;
    for (std::size_t r = 0; r < m.records.size(); ++r) {
        if (!named[r])
            continue;
        const std::size_t at = m.records[r].flags_at;
        masked_before[at + 2] &= 0x0F;
        masked_after[at + 2] &= 0x0F;
        masked_before[at + 3] = masked_after[at + 3] = 0;
    }
    return masked_before == masked_after;
}
