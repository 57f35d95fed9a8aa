// Text from outside (server replies, packages, the command line) shown on
// the terminal: control bytes are written as "\xNN" so that they cannot
// move the cursor, clear the screen or retitle the window.
#ifndef UPDATER_TERMINAL_TEXT_H
#define UPDATER_TERMINAL_TEXT_H

#include <string>

enum class LineBreaks { Escape, Keep };

// Copies text with every C0 control byte (bar "\n" and "\t" when
// lineBreaks is Keep), DEL, the C1 controls U+0080-U+009F and every byte
// that is not part of a well-formed UTF-8 sequence written as "\xNN"
// (two lower-case hex digits). Printable ASCII, a backslash included, and
// other well-formed UTF-8 pass unchanged, so escaping twice changes
// nothing.
std::string EscapeForTerminal(const std::string& text, LineBreaks lineBreaks = LineBreaks::Escape);

#endif
