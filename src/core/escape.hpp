// Text that came from a peer, made safe to print on a console or write to a log file.
#pragma once

#include "core/ops.hpp"

namespace zk {

// `text` (a str) with its control characters written as escapes, as a repr writes them (\n, \r,
// \t, \x1b, \x85, \u2028): C0, DEL, C1, and the line and paragraph separators, which consoles and
// log readers take for line breaks too. So a peer's text can neither start a line of its choosing
// nor colour one. Backslashes stay as they are. `keep_newlines` leaves "\n" alone, for text whose
// line breaks are its own layout. Returns `text` itself when there is nothing to escape.
Ref escape_controls(Handle text, bool keep_newlines = false);

// The text form of `value` (format(value)), escaped as above.
inline Ref escaped_text(Handle value) { return escape_controls(format(value)); }

}  // namespace zk
