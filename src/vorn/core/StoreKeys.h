#pragma once

namespace vorn::storekeys {

/// Keys of the key-value store that the library reads and writes.
inline constexpr const char* kAppKey = "v_VornAppKey";
inline constexpr const char* kFileUrl = "v_vornFileUrl";
inline constexpr const char* kGPSOpen = "vorn_open_GPSOpen";
inline constexpr const char* kSessionToken = "v_Vorn_sessionToken";
inline constexpr const char* kOpenUDID = "OpenUDID";
inline constexpr const char* kOpenUDIDAppUID = "OpenUDID_appUID";

}  // namespace vorn::storekeys
