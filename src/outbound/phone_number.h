#pragma once
// What a destination must look like before any modem is asked to send to it. Plain C++ with
// no Qt, so that the admin tool refuses what the module would set aside. Never throws.

#include <cstddef>
#include <string>
#include <string_view>

namespace pelorin::outbound {

// The most digits the destination address of an SMS can carry (10 octets of semi-octets).
inline constexpr std::size_t kMaxPhoneDigits = 20;

// The destination without the blanks and dashes people write numbers with.
std::string CleanDestination(std::string_view destination);

// An optional leading "+" and then 1 to kMaxPhoneDigits digits, nothing else.
bool IsPhoneNumber(std::string_view number);

} // namespace pelorin::outbound
