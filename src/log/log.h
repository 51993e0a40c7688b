#pragma once
// The module's log: one line per event on standard error, naming the port. Under systemd
// (JOURNAL_STREAM set) each line starts with the sd-daemon priority prefix ("<3>" error,
// "<4>" warning, "<6>" info, "<7>" debug) so the journal keeps the level; elsewhere errors
// and warnings carry a word for it. Control characters in the text (also what peers sent)
// are escaped, so a line can never be split or forged. Debug lines appear only with
// PELORIN_VERBOSE=1.
// Thread-safe; never throws.

#include <string>
#include <string_view>

namespace pelorin::log {

enum class Level { Error = 3, Warning = 4, Info = 6, Debug = 7 };

// Names the port in every later line ("port 5: ..."); empty: no port yet.
void setPort(std::string port);
// True when debug lines are printed (PELORIN_VERBOSE=1, read once).
bool verbose();

void write(Level level, std::string_view text);
inline void error(std::string_view text) { write(Level::Error, text); }
inline void warning(std::string_view text) { write(Level::Warning, text); }
inline void info(std::string_view text) { write(Level::Info, text); }
inline void debug(std::string_view text) { write(Level::Debug, text); }

// The text as it appears in a line: CR, LF and TAB as \r \n \t, a backslash doubled,
// other control bytes (and DEL) as \xNN; everything else, UTF-8 included, as it is.
std::string escaped(std::string_view text);

// The line written for `text` at `level` (without the newline): for tests.
std::string formatLine(Level level, std::string_view text);

} // namespace pelorin::log
