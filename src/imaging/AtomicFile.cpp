#include "imaging/AtomicFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

TAtomicFile::TAtomicFile(const std::string& FileName) : FFileName(FileName), FTempName(FileName + ".XXXXXX")
{
    FFd = ::mkostemp(FTempName.data(), O_CLOEXEC);
    if (FFd < 0) {
        const int error = errno;
        FTempName.clear();
        Failed(error);
    }
    ::fchmod(FFd, 0644);
}

TAtomicFile::~TAtomicFile()
{
    if (FFd >= 0)
        ::close(FFd);
    if (!FTempName.empty())
        ::unlink(FTempName.c_str());
}

void TAtomicFile::Failed(int Error) const
{
    throw EFCreateError("Cannot create file " + FFileName + ". " + std::strerror(Error));
}

void TAtomicFile::Write(const void* Data, size_t Size)
{
    if (FFd < 0)
        Failed(EBADF);
    const auto* p = static_cast<const uint8_t*>(Data);
    while (Size > 0) {
        const ssize_t n = ::write(FFd, p, Size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Failed(errno);
        }
        p += n;
        Size -= static_cast<size_t>(n);
    }
}

void TAtomicFile::Commit()
{
    if (FFd < 0)
        Failed(EBADF);
    const int rc = ::close(FFd);
    FFd = -1;
    if (rc != 0)
        Failed(errno);
    // Swapping names with an existing file, then removing the old one under
    // the temporary name, is as atomic for readers as renaming over it, and
    // spares ext4 the flush it forces on a rename that replaces a file.
    struct stat st {};
    if (::lstat(FFileName.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::renameat2(AT_FDCWD, FTempName.c_str(), AT_FDCWD, FFileName.c_str(), RENAME_EXCHANGE) == 0)
        return;  // the temporary name now holds the old file, removed with it
    if (::rename(FTempName.c_str(), FFileName.c_str()) != 0)
        Failed(errno);
    FTempName.clear();
}

void WriteFileAtomic(const std::string& FileName, const void* Data, size_t Size)
{
    TAtomicFile file(FileName);
    file.Write(Data, Size);
    file.Commit();
}
