// Whole-file writes for the picture files: through a temporary name renamed
// into place, so a reader sees the old file or the new one, never half of
// one. The file errors are those of platform/FileStream.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/FileStream.h"

// Writes Size bytes to a temporary file beside FileName and renames it over
// FileName. On any failure the temporary file is removed, FileName keeps
// its old contents and EFCreateError is raised.
void WriteFileAtomic(const std::string& FileName, const void* Data, size_t Size);
