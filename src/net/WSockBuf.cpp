#include "net/WSockBuf.h"

#include <algorithm>
#include <cstring>

TBuffer::TBuffer(int Size) { SetSize(Size); }

void TBuffer::SetSize(int NewSize)
{
    if (NewSize <= 0)
        NewSize = DefaultChunkSize;
    if (NewSize == FSize && FData)
        return;
    if (FWrCount == FRdCount) {
        FData = std::make_unique<char[]>(static_cast<size_t>(NewSize));
        FWrCount = FRdCount = 0;
    } else {
        NewSize = std::max(NewSize, FWrCount);
        auto area = std::make_unique<char[]>(static_cast<size_t>(NewSize));
        std::memcpy(area.get(), FData.get(), static_cast<size_t>(FWrCount));
        FData = std::move(area);
    }
    FSize = NewSize;
}

int TBuffer::Write(const void* Data, int Len)
{
    int n = std::min(Len, FSize - FWrCount);
    if (n <= 0)
        return 0;
    std::memcpy(FData.get() + FWrCount, Data, static_cast<size_t>(n));
    FWrCount += n;
    return n;
}

const char* TBuffer::Peek(int& Len) const
{
    Len = FWrCount - FRdCount;
    if (Len <= 0) {
        Len = 0;
        return nullptr;
    }
    return FData.get() + FRdCount;
}

int TBuffer::Remove(int Count)
{
    int unsent = FWrCount - FRdCount;
    if (unsent <= 0 || Count <= 0)
        return 0;
    int n = std::min(Count, unsent);
    FRdCount += n;
    if (FRdCount >= FWrCount)
        FRdCount = FWrCount = 0;
    return n;
}
