// What another program printed, made safe to repeat on a terminal: its control characters shown
// as `cat -v` shows them, so that none of them reaches the terminal as a command.
#pragma once

#include <string>
#include <string_view>

namespace tonalyx {

// `bytes` as `cat -v` shows them: ^@ to ^_ for the control characters below a space, ^? for DEL,
// and "M-" and then the same for a byte from 0x80 up that is not part of a well-formed UTF-8
// character, or is part of a C1 control (U+0080 to U+009F). Other well-formed UTF-8, tabs and
// line breaks are kept as they are.
std::string visible_text(std::string_view bytes);

} // namespace tonalyx
