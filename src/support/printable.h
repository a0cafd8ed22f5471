// Texts from a tape (keys, bucket names, label fields) as messages show them: every control
// character and every byte that is not part of valid UTF-8 is written as \xNN, so that a terminal
// shows what is on the tape and nothing else (no escape sequence, no line of its own).
#pragma once

#include <string>
#include <string_view>

std::string printable(std::string_view text);

// The same for a whole message: line feeds and tabs stay as they are (the message's own lines),
// every other control character and every byte that is not valid UTF-8 is escaped, so that no
// text can move the cursor, clear the screen or set a terminal's title.
std::string printable_lines(std::string_view text);

// A text of a fixed-length field (an INQUIRY or cartridge-memory text) without the blanks and zero
// bytes that pad it at its end.
std::string_view unpadded(std::string_view text);
