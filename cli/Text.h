// Text that came from outside the tool (interface names, paths, settings
// values, the library's messages), made safe to show, and numbers read from
// the command line. Pure functions, safe on any thread.
#ifndef OSCPROBE_CLI_TEXT_H
#define OSCPROBE_CLI_TEXT_H

#include <stdio.h>

#include <string>

#include <nlohmann/json_fwd.hpp>

namespace oscprobe_cli {

// For a terminal or a log file: every control character (C0, DEL and the C1
// range) and every byte that is not part of valid UTF-8 is written as \xHH,
// so that nothing read from the machine can move the cursor, recolour or
// retitle the terminal, while valid UTF-8 passes unchanged.
std::string printable(const std::string& text);

// A JSON document as text. Bytes that are not UTF-8 (Linux allows them in
// interface names and paths) become U+FFFD: the one way every JSON writer of
// the tool encodes them.
std::string jsonText(const nlohmann::ordered_json& doc, int indent = -1);

// A number from the command line: "80" but not "80x", " 80", "" or "nan";
// `whole` takes integers only.
bool parseNumber(const std::string& text, bool whole, double* value);

// Whether everything written to `out` so far has reached it: flushes, and
// false (errno set) when that or an earlier write failed.
bool flushed(FILE* out);

} // namespace oscprobe_cli

#endif
