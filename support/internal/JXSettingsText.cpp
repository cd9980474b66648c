#include "internal/JXSettingsText.h"

#include <ini.h>
#include <string.h>

#include <algorithm>
#include <cstddef>
#include <vector>

namespace oscprobe::internal {

namespace {

struct Lookup {
    const char* section = nullptr;
    const char* key = nullptr;
    bool found = false;
    std::string value;
};

int onEntry(void* user, const char* section, const char* name, const char* value)
{
    Lookup* l = static_cast<Lookup*>(user);
    if (strcmp(section, l->section) == 0 && strcmp(name, l->key) == 0) {
        l->found = true;
        l->value = value != nullptr ? value : "";
    }
    return 1;
}

const char kBlanks[] = " \t\n\v\f\r";

std::string trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

} // namespace

// The parser's line buffer holds INI_MAX_LINE bytes, a line end and the
// terminator included.
const std::size_t kLongestSettingsLine = INI_MAX_LINE - 3;

namespace {

// One line of the text, without its line end.
struct Line {
    std::size_t start, length;
};

// The line that begins at `start` (before `end`); the next begins past
// its length and line end.
Line lineAt(const std::string& text, std::size_t start, std::size_t end, std::size_t* next)
{
    const std::size_t stop = std::min(text.find('\n', start), end);
    *next = stop + 1;
    return {start, stop - start - (stop > start && text[stop - 1] == '\r')};
}

std::vector<Line> linesOf(const std::string& text, std::size_t end)
{
    std::vector<Line> lines;
    for (std::size_t start = 0; start < end;)
        lines.push_back(lineAt(text, start, end, &start));
    return lines;
}

// The text with every line longer than the parser reads whole put into a
// form it reads the same way, classified as the parser classifies lines: a
// comment or a value without a name goes, a section header keeps its name,
// an entry keeps its name (so that an indented line after it still
// continues it) without its value. False, with *why set, when the line
// would set or continue `key` in `section`.
bool shortened(const std::string& text, std::size_t end, const char* section, const char* key,
               std::string* out, std::string* why, SkippedLines* skipped)
{
    const std::vector<Line> lines = linesOf(text, end);
    std::string current, previous; // the parser's section and last entry name
    out->clear();
    for (std::size_t n = 0; n < lines.size(); ++n) {
        std::string line = text.substr(lines[n].start, lines[n].length);
        if (n == 0 && line.compare(0, 3, "\xEF\xBB\xBF") == 0)
            line.erase(0, 3);
        const std::size_t first = line.find_first_not_of(kBlanks);
        const bool indented = first != 0 && first != std::string::npos;
        const char lead = first == std::string::npos ? '\0' : line[first];
        const bool tooLong = lines[n].length > kLongestSettingsLine;
        const bool ours = current == section;
        std::string kept = line;
        if (lead == '\0' || lead == ';' || lead == '#') {
            kept.clear();
        } else if (indented && !previous.empty()) {
            if (tooLong && ours && previous == key) {
                *why = "line " + std::to_string(n + 1) + " continues " + key + " past " +
                       std::to_string(kLongestSettingsLine) + " characters";
                return false;
            }
            kept.clear();
        } else if (lead == '[') {
            const std::size_t close = line.find(']', first);
            if (close != std::string::npos) {
                current = line.substr(first + 1, close - first - 1);
                kept = "[" + current + "]";
            } else {
                kept.clear(); // no section: the parser ignores the line
            }
            previous.clear();
        } else {
            const std::size_t sep = line.find_first_of("=:", first);
            const std::string name =
                trimmed(line.substr(first, sep == std::string::npos ? std::string::npos : sep - first));
            if (tooLong && ours && name == key) {
                *why = "line " + std::to_string(n + 1) + ", which sets " + key +
                       ", is longer than " + std::to_string(kLongestSettingsLine) + " characters";
                return false;
            }
            if (sep != std::string::npos) {
                previous = name;
                kept = name + "=";
            } else {
                kept.clear();
            }
        }
        if (tooLong) {
            // A name or section of that length is none a caller asks for.
            if (kept.size() > kLongestSettingsLine)
                kept.clear();
            if (skipped != nullptr && skipped->count++ == 0)
                skipped->first = n + 1;
            out->append(kept);
        } else {
            out->append(text, lines[n].start, lines[n].length);
        }
        out->push_back('\n');
    }
    return true;
}

} // namespace

bool findSetting(const std::string& text, const char* section, const char* key,
                 std::string* value, std::string* why, SkippedLines* skipped)
{
    std::string ignored;
    if (why == nullptr)
        why = &ignored;
    // Only the part before the first NUL counts, as for the parser.
    const std::size_t end = std::min(text.find('\0'), text.size());
    bool anyTooLong = false;
    for (std::size_t start = 0; start < end && !anyTooLong;)
        anyTooLong = lineAt(text, start, end, &start).length > kLongestSettingsLine;
    std::string rewritten;
    if (anyTooLong && !shortened(text, end, section, key, &rewritten, why, skipped))
        return false;
    Lookup lookup;
    lookup.section = section;
    lookup.key = key;
    ini_parse_string(anyTooLong ? rewritten.c_str() : text.c_str(), onEntry, &lookup);
    if (!lookup.found)
        return false;
    *value = lookup.value;
    return true;
}

} // namespace oscprobe::internal
