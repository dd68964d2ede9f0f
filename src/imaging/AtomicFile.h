// Whole-file writes for the picture files: through a temporary name renamed
// into place, so a reader sees the old file or the new one, never half of
// one. The file errors are those of platform/FileStream.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/FileStream.h"

// A file written in pieces under a temporary name beside FileName and put
// in its place by Commit. Every failure raises EFCreateError; a file never
// committed is removed and FileName keeps its old contents.
class TAtomicFile {
public:
    explicit TAtomicFile(const std::string& FileName);
    ~TAtomicFile();
    TAtomicFile(const TAtomicFile&) = delete;
    TAtomicFile& operator=(const TAtomicFile&) = delete;

    void Write(const void* Data, size_t Size);
    void Commit();

private:
    [[noreturn]] void Failed(int Error) const;

    std::string FFileName;
    std::string FTempName;
    int FFd = -1;
};

// Writes Size bytes to a temporary file beside FileName and renames it over
// FileName. On any failure the temporary file is removed, FileName keeps
// its old contents and EFCreateError is raised.
void WriteFileAtomic(const std::string& FileName, const void* Data, size_t Size);
