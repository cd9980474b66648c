// Pure half of JXPlatformInfo: finding one setting in the text of an INI
// file. JXPlatformInfo reads the file whole and hands the bytes here. Not
// installed and not exported; the fuzzers compile it in directly.
//
// Threading: no state; any thread.
#ifndef OSCPROBE_SUPPORT_INTERNAL_JXSETTINGSTEXT_H
#define OSCPROBE_SUPPORT_INTERNAL_JXSETTINGSTEXT_H

#include <cstddef>
#include <string>

namespace oscprobe::internal {

// Looks `key` up in `section` of the INI text (names compared exactly; a
// key repeated in its section counts with its last value). Lines the parser
// cannot read are skipped and the rest still count. The text ends at its
// first NUL, as the file's text always did. True with *value set to the
// value (surrounding blanks removed) when found; false with *value
// unchanged otherwise.
//
// The parser reads lines of at most kLongestSettingsLine characters whole.
// A longer line neither hides nor invents a setting: a comment, a line of
// another section or another key is skipped whole (its 1-based number goes
// to *skipped, when given), and the lookup goes on around it. Only a longer
// line that would set `key` in `section` (or continue such a value) cannot
// be taken: false, and *why (when given) names the line. Otherwise *why is
// left alone.
struct SkippedLines {
    std::size_t count = 0;
    std::size_t first = 0; // 1-based; 0 when none
};
bool findSetting(const std::string& text, const char* section, const char* key,
                 std::string* value, std::string* why = nullptr,
                 SkippedLines* skipped = nullptr);

// The longest line, line end excluded, that the parser reads whole.
extern const std::size_t kLongestSettingsLine;

} // namespace oscprobe::internal

#endif
