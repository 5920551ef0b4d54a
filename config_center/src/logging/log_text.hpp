#ifndef CONFIG_CENTER_LOG_TEXT_HPP_
#define CONFIG_CENTER_LOG_TEXT_HPP_

#include <cstddef>
#include <string>
#include <string_view>

namespace config_center {

// How many bytes of one text from outside the program a log record carries; the rest is
// cut and its length noted. Enough for any name, error text or parameter value worth
// reading in a log line; a file item's content is never logged whole.
inline constexpr size_t kLogTextBound = 1024;

// A text from outside the program (an item's value or name, a node name, a target's refusal
// reason, a database or system error text) as it may stand in one line of the log, so that
// what it holds can never pass for a record of the node's own or drive a terminal:
//   - a line break is "\n", a carriage return "\r", a tab "\t", a backslash "\\" (so that
//     an escape in the log always means one in the text);
//   - any other byte below 0x20, 0x7f, and a byte that is not part of valid UTF-8 is "\xNN"
//     (an ANSI escape sequence starts "\x1b");
//   - the C1 control characters (U+0080 to U+009F: terminals take U+009B for an escape
//     sequence), the line and paragraph separators (U+2028, U+2029) and the bidirectional
//     overrides and isolates (U+202A to U+202E, U+2066 to U+2069: they reorder what a viewer
//     shows) are "\uNNNN";
//   - everything else, UTF-8 included, is kept as it is;
//   - after `bound` bytes of the text (never inside a character) the rest is cut, and
//     "... [N bytes in all]" says how long the text was.
std::string LogText(std::string_view text, size_t bound = kLogTextBound);
// Whether LogText would return `text` unchanged: printable ASCII without a backslash, within
// the bound (the common case, which the log calls then format without a copy).
bool IsPlainLogText(std::string_view text, size_t bound = kLogTextBound);
void AppendLogText(std::string& out, std::string_view text, size_t bound = kLogTextBound);

}  // namespace config_center

#endif  // CONFIG_CENTER_LOG_TEXT_HPP_
