#include "imaging/FileErrors.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string OpenErrorText(const std::string& FileName, int Error)
{
    return "Cannot open file \"" + FileName + "\". " + std::strerror(Error);
}

std::string CreateErrorText(const std::string& FileName, int Error)
{
    return "Cannot create file \"" + FileName + "\". " + std::strerror(Error);
}

// Closes a descriptor and removes a temporary file unless released.
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
    int Fd() const { return FFd; }
    const std::string& Name() const { return FName; }
    int Close()
    {
        int rc = ::close(FFd);
        FFd = -1;
        return rc;
    }
    void Release() { FName.clear(); }

private:
    int FFd;
    std::string FName;
};

} // namespace

std::vector<uint8_t> ReadWholeFile(const std::string& FileName)
{
    int fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw EFOpenError(OpenErrorText(FileName, errno));
    TTempFile guard(fd, std::string());
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw EFOpenError(OpenErrorText(FileName, errno));
    if (!S_ISREG(st.st_mode))
        throw EFOpenError(OpenErrorText(FileName, S_ISDIR(st.st_mode) ? EISDIR : EINVAL));

    std::vector<uint8_t> data(static_cast<size_t>(st.st_size));
    size_t done = 0;
    for (;;) {
        if (done == data.size())
            data.resize(data.size() + 65536);  // the file grew meanwhile
        ssize_t n = ::read(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw EFOpenError(OpenErrorText(FileName, errno));
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    data.resize(done);
    return data;
}

void WriteFileAtomic(const std::string& FileName, const void* Data, size_t Size)
{
    std::string pattern = FileName + ".XXXXXX";
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        throw EFCreateError(CreateErrorText(FileName, errno));
    TTempFile temp(fd, pattern);
    ::fchmod(fd, 0644);

    const auto* p = static_cast<const uint8_t*>(Data);
    size_t left = Size;
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw EFCreateError(CreateErrorText(FileName, errno));
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (temp.Close() != 0)
        throw EFCreateError(CreateErrorText(FileName, errno));
    if (::rename(temp.Name().c_str(), FileName.c_str()) != 0)
        throw EFCreateError(CreateErrorText(FileName, errno));
    temp.Release();
}
