// Helpers shared by the source files of the socket unit.
#pragma once

#include <string>

namespace wsocket_unit {

// Live socket objects; releasing the library resets it.
extern int SocketCount;

std::string Format(const char* Fmt, ...) __attribute__((format(printf, 1, 2)));

inline bool IsDigit(char C) { return C >= '0' && C <= '9'; }

}  // namespace wsocket_unit
