#include "outbound/phone_number.h"

#include <algorithm>

namespace pelorin::outbound {

std::string CleanDestination(std::string_view destination) {
    std::string cleaned(destination);
    std::erase_if(cleaned, [](char c) { return c == ' ' || c == '-'; });
    return cleaned;
}

bool IsPhoneNumber(std::string_view number) {
    if (number.starts_with('+')) number.remove_prefix(1);
    return !number.empty() && number.size() <= kMaxPhoneDigits &&
           std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace pelorin::outbound
