// Whole-file reads and writes for the picture files. Writes go through a
// temporary name renamed into place, so a reader sees the old file or the
// new one, never half of one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/FileStream.h"

// Reads a whole file, opened for reading with writers denied, as a file
// stream does; EFOpenError when it cannot be opened, EReadError when it
// cannot be read.
std::vector<uint8_t> ReadWholeFile(const std::string& FileName);

// Writes Size bytes to a temporary file beside FileName and renames it over
// FileName. On any failure the temporary file is removed, FileName keeps
// its old contents and EFCreateError is raised.
void WriteFileAtomic(const std::string& FileName, const void* Data, size_t Size);
