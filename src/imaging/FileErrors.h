// File errors raised by the imaging units, and a whole-file writer that
// publishes through a temporary name so readers never see half a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Classes.h"

// A file could not be opened or read.
class EFOpenError : public Exception {
public:
    using Exception::Exception;
};

// A file could not be created, written or put into place.
class EFCreateError : public Exception {
public:
    using Exception::Exception;
};

// Reads a whole file; EFOpenError when it cannot be opened or read.
std::vector<uint8_t> ReadWholeFile(const std::string& FileName);

// Writes Size bytes to a temporary file beside FileName and renames it over
// FileName. On any failure the temporary file is removed, FileName keeps
// its old contents and EFCreateError is raised.
void WriteFileAtomic(const std::string& FileName, const void* Data, size_t Size);
