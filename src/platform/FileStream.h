// Streams and files with sharing modes.
//
// Sharing modes are kept between the opens of this process: an open is
// refused while another open of the same file does not share the access it
// asks for, or asks for access this open does not share.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Classes.h"

// Open modes (low nibble), sharing modes (next nibble), and fmCreate, which
// may be combined with a sharing mode.
constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmShareCompat = 0x0000;
constexpr uint16_t fmShareExclusive = 0x0010;
constexpr uint16_t fmShareDenyWrite = 0x0020;
constexpr uint16_t fmShareDenyRead = 0x0030;
constexpr uint16_t fmShareDenyNone = 0x0040;
constexpr uint16_t fmCreate = 0xFF00;

constexpr int soFromBeginning = 0;
constexpr int soFromCurrent = 1;
constexpr int soFromEnd = 2;

class EStreamError : public Exception {
public:
    using Exception::Exception;
};
class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EReadError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

class TStream : public TObject {
public:
    // Bytes actually moved; 0 at the end or on error.
    virtual int32_t Read(void* Buffer, int32_t Count) = 0;
    virtual int32_t Write(const void* Buffer, int32_t Count) = 0;
    // The new position, or -1 when the seek failed.
    virtual int64_t Seek(int64_t Offset, int Origin) = 0;

    int64_t Position() { return Seek(0, soFromCurrent); }
    void SetPosition(int64_t Value) { Seek(Value, soFromBeginning); }
    virtual int64_t Size();
    virtual void SetSize(int64_t NewSize) = 0;

    // All or an EReadError / EWriteError ("Stream read error" / "Stream write error").
    void ReadBuffer(void* Buffer, int32_t Count);
    void WriteBuffer(const void* Buffer, int32_t Count);
    // Copies Count bytes from Source (its whole content when Count is 0).
    int64_t CopyFrom(TStream& Source, int64_t Count);
};

// Tells one file from another; the change time moves with every write,
// link and rename of the file.
struct TFileIdentity {
    uint64_t Device = 0, Inode = 0;
    int64_t ChangeNs = 0;
    bool operator==(const TFileIdentity&) const = default;
};

class TFileStream : public TStream {
public:
    // Raises EFCreateError "Cannot create file <name>" or EFOpenError
    // "Cannot open file <name>". fmCreate creates or truncates the file
    // (mode 0644 less the umask) and opens it for reading and writing; a
    // file another open denies is left untouched. RegularOnly opens
    // without waiting (a FIFO's open would block) and refuses anything but
    // a regular file, so that a reader always meets an end.
    TFileStream(const std::string& FileName, uint16_t Mode, bool RegularOnly = false);
    ~TFileStream() override;

    const std::string& FileName() const { return FFileName; }
    int Handle() const { return FHandle; }
    // The size when the file was opened (Size asks again).
    int64_t OpenedSize() const { return FOpenedSize; }
    // The opened file's identity, as it was when it was opened.
    TFileIdentity Identity() const { return {FDevice, FInode, FChangeNs}; }

    int32_t Read(void* Buffer, int32_t Count) override;
    int32_t Write(const void* Buffer, int32_t Count) override;
    int64_t Seek(int64_t Offset, int Origin) override;
    int64_t Size() override;
    void SetSize(int64_t NewSize) override;

private:
    void Release();

    std::string FFileName;
    int FHandle = -1;
    uint64_t FDevice = 0, FInode = 0;
    int64_t FOpenedSize = 0;
    int64_t FChangeNs = 0;
    unsigned FAccess = 0, FShare = 0;
};

// True when Name is an existing file that is not a directory.
bool FileExists(const std::string& Name);
// Removes a file; false when it could not be removed.
bool DeleteFile(const std::string& Name);
