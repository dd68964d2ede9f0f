// A fixed-size chunk of outgoing bytes; the send buffer is a list of them.
#pragma once

#include <memory>

constexpr int DefaultChunkSize = 1514;

class TBuffer {
public:
    explicit TBuffer(int Size);
    TBuffer(const TBuffer&) = delete;
    TBuffer& operator=(const TBuffer&) = delete;

    int Size() const { return FSize; }
    void SetSize(int NewSize);
    // Copies what fits behind the stored bytes; the count copied.
    int Write(const void* Data, int Len);
    // The first unsent byte and the count of unsent bytes (null, 0 when empty).
    const char* Peek(int& Len) const;
    // Takes Count bytes off the front; both counts return to 0 when drained.
    int Remove(int Count);

private:
    std::unique_ptr<char[]> FData;
    int FSize = 0;
    int FWrCount = 0;
    int FRdCount = 0;
};
