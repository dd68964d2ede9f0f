// Profile (INI) files with the Windows profile-function semantics.
//
// Section and key names compare case-insensitively (ASCII). A value is the
// text after the first "=", with surrounding blanks removed and one pair of
// matching surrounding quotes stripped. A write keeps every other line of
// the file in its place; the file is replaced atomically (temporary file in
// the same directory, then rename), so a failed write leaves the old file
// whole. New files are created with mode 0600; a replaced file keeps its
// mode (and its owner where the program may set it), and a file the program
// may not write (for root: one without any write bit) is refused (EACCES).
#pragma once

#include <cstddef>
#include <string>

#include "platform/Windows.h"

// The value of Key in Section, or Default when the file, the section or the
// key is missing. At most Size - 1 bytes are returned (Size 0: nothing).
std::string GetPrivateProfileString(const std::string& Section, const std::string& Key,
                                    const std::string& Default, size_t Size,
                                    const std::string& FileName);

// The C form: copies at most Size - 1 bytes and a terminating zero into
// Buffer; returns the number of bytes copied without the zero.
DWORD GetPrivateProfileStringA(const char* Section, const char* Key, const char* Default,
                               char* Buffer, DWORD Size, const char* FileName);

// Sets Key in Section to Value, adding the section and the key when they
// are missing. A null Value deletes the key, a null Key the whole section.
// False when the file could not be written (errno tells why).
BOOL WritePrivateProfileString(const char* Section, const char* Key, const char* Value,
                               const std::string& FileName);
BOOL WritePrivateProfileStringA(const char* Section, const char* Key, const char* Value,
                                const char* FileName);
