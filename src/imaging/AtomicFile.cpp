#include "imaging/AtomicFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A temporary file: closed and removed unless kept.
class TTempFile {
public:
    TTempFile(int AFd, std::string AName) : FFd(AFd), FName(std::move(AName)) {}
    ~TTempFile()
    {
        if (FFd >= 0)
            ::close(FFd);
        if (!FName.empty())
            ::unlink(FName.c_str());
    }
    TTempFile(const TTempFile&) = delete;
    TTempFile& operator=(const TTempFile&) = delete;

    int Fd() const { return FFd; }
    const std::string& Name() const { return FName; }
    int Close()
    {
        const int rc = ::close(FFd);
        FFd = -1;
        return rc;
    }
    void Keep() { FName.clear(); }

private:
    int FFd;
    std::string FName;
};

[[noreturn]] void CreateFailed(const std::string& FileName, int Error)
{
    throw EFCreateError("Cannot create file " + FileName + ". " + std::strerror(Error));
}

} // namespace

void WriteFileAtomic(const std::string& FileName, const void* Data, size_t Size)
{
    std::string pattern = FileName + ".XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        CreateFailed(FileName, errno);
    TTempFile temp(fd, pattern);
    ::fchmod(fd, 0644);

    const auto* p = static_cast<const uint8_t*>(Data);
    size_t left = Size;
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            CreateFailed(FileName, errno);
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (temp.Close() != 0)
        CreateFailed(FileName, errno);
    // Swapping names with an existing file, then removing the old one under
    // the temporary name, is as atomic for readers as renaming over it, and
    // spares ext4 the flush it forces on a rename that replaces a file.
    struct stat st {};
    if (::lstat(FileName.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::renameat2(AT_FDCWD, temp.Name().c_str(), AT_FDCWD, FileName.c_str(), RENAME_EXCHANGE) == 0)
        return;  // the temporary name now holds the old file, removed with it
    if (::rename(temp.Name().c_str(), FileName.c_str()) != 0)
        CreateFailed(FileName, errno);
    temp.Keep();
}
