#pragma once
// The modem types a module can serve, as the settings name them. Any other type behaves
// like "WAVECOM" wherever only the others are tested for.

namespace pelorin::modem {

inline constexpr const char* kWavecom = "WAVECOM";
inline constexpr const char* kSiemens = "SIEMENS";
inline constexpr const char* kNokiaCdma = "NOKCDMA_6235";
inline constexpr const char* kMerlCenter = "MERL-CENTER"; // TCP menu endpoint, no modem
inline constexpr const char* kMerlSender = "MERL-SENDER"; // SMS web service, no modem

} // namespace pelorin::modem
