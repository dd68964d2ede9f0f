#include "platform/FileStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

namespace {

constexpr unsigned AccessRead = 1, AccessWrite = 2;

struct OpenRecord {
    uint64_t Device, Inode;
    unsigned Access;  // what this open does
    unsigned Share;   // what it lets others do
    const void* Owner;
};

std::mutex gLock;
std::vector<OpenRecord> gOpens;

// What a sharing mode lets other opens do.
unsigned SharedAccess(uint16_t mode)
{
    switch (mode & 0xF0) {
    case fmShareDenyWrite: return AccessRead;
    case fmShareDenyRead: return AccessWrite;
    case fmShareDenyNone: return AccessRead | AccessWrite;
    default: return 0;  // compatibility and exclusive modes share nothing
    }
}

bool Compatible(const OpenRecord& a, const OpenRecord& b)
{
    return (a.Access & ~b.Share) == 0 && (b.Access & ~a.Share) == 0;
}

} // namespace

int64_t TStream::Size()
{
    int64_t pos = Seek(0, soFromCurrent);
    int64_t end = Seek(0, soFromEnd);
    Seek(pos, soFromBeginning);
    return end;
}

void TStream::ReadBuffer(void* Buffer, int32_t Count)
{
    auto* p = static_cast<char*>(Buffer);
    while (Count > 0) {
        int32_t n = Read(p, Count);
        if (n <= 0)
            throw EReadError("Stream read error");
        p += n;
        Count -= n;
    }
}

void TStream::WriteBuffer(const void* Buffer, int32_t Count)
{
    auto* p = static_cast<const char*>(Buffer);
    while (Count > 0) {
        int32_t n = Write(p, Count);
        if (n <= 0)
            throw EWriteError("Stream write error");
        p += n;
        Count -= n;
    }
}

int64_t TStream::CopyFrom(TStream& Source, int64_t Count)
{
    if (Count == 0) {
        Source.SetPosition(0);
        Count = Source.Size();
    }
    int64_t done = 0;
    std::vector<char> buf(65536);
    while (done < Count) {
        int32_t chunk = static_cast<int32_t>(std::min<int64_t>(Count - done, static_cast<int64_t>(buf.size())));
        Source.ReadBuffer(buf.data(), chunk);
        WriteBuffer(buf.data(), chunk);
        done += chunk;
    }
    return done;
}

TFileStream::TFileStream(const std::string& FileName, uint16_t Mode, bool RegularOnly) : FFileName(FileName)
{
    bool create = (Mode & 0xFF00) == fmCreate;
    int flags = O_CLOEXEC;
    if (create) {
        flags |= O_RDWR | O_CREAT;
        FAccess = AccessRead | AccessWrite;
    } else {
        switch (Mode & 0x0F) {
        case fmOpenWrite: flags |= O_WRONLY; FAccess = AccessWrite; break;
        case fmOpenReadWrite: flags |= O_RDWR; FAccess = AccessRead | AccessWrite; break;
        default: flags |= O_RDONLY; FAccess = AccessRead; break;
        }
    }
    FShare = SharedAccess(Mode);
    auto fail = [&]() -> void {
        if (create)
            throw EFCreateError("Cannot create file " + FileName);
        throw EFOpenError("Cannot open file " + FileName);
    };
    if (RegularOnly)
        flags |= O_NONBLOCK;
    int fd = ::open(FileName.c_str(), flags, 0644);
    if (fd < 0)
        fail();
    struct stat st{};
    // A regular file reads the same with O_NONBLOCK, so the flag stays.
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || (RegularOnly && !S_ISREG(st.st_mode))) {
        ::close(fd);
        fail();
    }
    FDevice = st.st_dev;
    FInode = st.st_ino;
    FOpenedSize = static_cast<int64_t>(st.st_size);
    FChangeNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    {
        std::lock_guard<std::mutex> g(gLock);
        OpenRecord mine{FDevice, FInode, FAccess, FShare, this};
        for (const auto& r : gOpens) {
            if (r.Device == FDevice && r.Inode == FInode && !Compatible(r, mine)) {
                ::close(fd);
                fail();
            }
        }
        gOpens.push_back(mine);
    }
    FHandle = fd;
    if (create && ::ftruncate(fd, 0) != 0) {
        Release();
        fail();
    }
}

TFileStream::~TFileStream() { Release(); }

void TFileStream::Release()
{
    if (FHandle < 0)
        return;
    {
        std::lock_guard<std::mutex> g(gLock);
        auto it = std::find_if(gOpens.begin(), gOpens.end(), [this](const OpenRecord& r) { return r.Owner == this; });
        if (it != gOpens.end())
            gOpens.erase(it);
    }
    ::close(FHandle);
    FHandle = -1;
}

int32_t TFileStream::Read(void* Buffer, int32_t Count)
{
    if (Count <= 0)
        return 0;
    for (;;) {
        ssize_t n = ::read(FHandle, Buffer, static_cast<size_t>(Count));
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 ? 0 : static_cast<int32_t>(n);
    }
}

int32_t TFileStream::Write(const void* Buffer, int32_t Count)
{
    if (Count <= 0)
        return 0;
    for (;;) {
        ssize_t n = ::write(FHandle, Buffer, static_cast<size_t>(Count));
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 ? 0 : static_cast<int32_t>(n);
    }
}

int64_t TFileStream::Seek(int64_t Offset, int Origin)
{
    int whence = Origin == soFromCurrent ? SEEK_CUR : Origin == soFromEnd ? SEEK_END : SEEK_SET;
    off_t r = ::lseek(FHandle, static_cast<off_t>(Offset), whence);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t TFileStream::Size()
{
    struct stat st{};
    if (::fstat(FHandle, &st) != 0)
        return -1;
    return static_cast<int64_t>(st.st_size);
}

void TFileStream::SetSize(int64_t NewSize)
{
    if (::ftruncate(FHandle, static_cast<off_t>(NewSize)) != 0)
        throw EWriteError("Stream write error");
    if (Position() > NewSize)
        Seek(NewSize, soFromBeginning);
}

bool FileExists(const std::string& Name)
{
    struct stat st{};
    return ::stat(Name.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DeleteFile(const std::string& Name) { return ::unlink(Name.c_str()) == 0; }
