#pragma once
// Windows-1252 <-> Unicode at the database boundary. Message texts travel through the
// module as single-byte Windows-1252 strings; the database stores ordinary Unicode text.
// Never throws; characters with no Windows-1252 form become '?'.

#include <QString>
#include <string>
#include <string_view>

namespace pelorin::db {

QString fromWindows1252(std::string_view bytes);
std::string toWindows1252(const QString& text);

} // namespace pelorin::db
