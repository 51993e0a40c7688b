#pragma once
// The port's row in `cs`: the contract with the main application. The module writes
// "RUN", "DISABLE" or "ERR" with its error text; the main application ends a module by
// taking "RUN" away. All functions run on the calling thread's connection and throw
// DbError when a statement fails.

#include <optional>
#include <string>

namespace pelorin::db::port_row {

inline constexpr const char* kRun = "RUN";
inline constexpr const char* kDisable = "DISABLE";
inline constexpr const char* kErr = "ERR";

// stat "RUN", errinfo "-". False when the port has no row to mark.
bool markRunning(const std::string& port);
// stat "DISABLE", errinfo "-".
void markDisabled(const std::string& port);
// stat "ERR", errinfo the text (bound, so any character is safe in it).
void markError(const std::string& port, const std::string& errorText);
// True while the row exists and says "RUN".
bool isRunning(const std::string& port);
// The row's stat; nothing when the port has no row.
std::optional<std::string> stateOf(const std::string& port);
// The port's own number (`nomor`), empty when the port has no row.
std::string LookupOwnNumber(const std::string& port);

} // namespace pelorin::db::port_row
