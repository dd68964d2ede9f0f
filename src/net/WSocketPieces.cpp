// Sending a run of chunk-sized pieces with one gathered call.
#include <algorithm>

#include "net/WSocket.h"

int WSocket_sendv(SOCKET S, const iovec* Vec, int Count, int Flags) { return winsock::sendv(S, Vec, Count, Flags); }

namespace {

// Pieces (queued chunks included) handed to the network at once.
constexpr int MaxPieces = 64;
// Queued chunks beyond this leave through the ordinary path first.
constexpr size_t MaxQueuedChunks = 8;

}  // namespace

int TCustomWSocket::SendPieces(const void* Data, int Len, bool More)
{
    if (FState != wsConnected || Len <= 0 || !Data)
        return Send(Data, std::max(Len, 0));
    const char* data = static_cast<const char*>(Data);
    const int first = std::min(Len, FBufSize);
    // A gathering socket keeps its bytes in order through its gather.
    if (FTls || FGatherSends || FType != SOCK_STREAM || FHSocket == INVALID_SOCKET ||
        FBufList.size() > MaxQueuedChunks)
        return Send(data, first);

    iovec vec[MaxPieces];
    int sent[MaxPieces];
    int count = 0;
    for (const auto& b : FBufList) {
        int len;
        const char* p = b->Peek(len);
        if (len > 0)
            vec[count++] = {const_cast<char*>(p), static_cast<size_t>(len)};
    }
    const int queued = count;
    for (int off = 0; off < Len && count < MaxPieces; off += FBufSize)
        vec[count++] = {const_cast<char*>(data + off), static_cast<size_t>(std::min(FBufSize, Len - off))};

    FAllSent = false;
    int n = WSocket_sendv(FHSocket, vec, count, FSendFlags | (More ? MSG_MORE : 0));
    // A refusal or a failure takes the ordinary path, which reports it.
    if (n < 0)
        return Send(data, first);

    // The bytes leave the buffer before OnSendData runs.
    int left = n;
    for (int i = 0; i < count; ++i) {
        sent[i] = std::min(left, static_cast<int>(vec[i].iov_len));
        left -= sent[i];
    }
    for (auto it = FBufList.begin(); it != FBufList.end();) {
        int len;
        (*it)->Peek(len);
        if (len <= 0) {
            ++it;
            continue;
        }
        int take = std::min(len, n);
        (*it)->Remove(take);
        n -= take;
        if (take < len)
            break;
        ++it;
    }
    while (FBufList.size() > 1) {
        int len;
        FBufList.front()->Peek(len);
        if (len > 0)
            break;
        FBufList.pop_front();
    }
    // Whole pieces are taken, and the first one that did not leave in full.
    int taken = 0;
    bool rest = false;
    for (int i = queued; i < count && !rest; ++i) {
        const int len = static_cast<int>(vec[i].iov_len);
        if (sent[i] < len) {
            AppendToSendBuffer(data + taken + sent[i], len - sent[i]);
            rest = true;
        }
        taken += len;
    }
    if (!rest && BufferedByteCount() == 0)
        FAllSent = true;

    const unsigned serial = FConnSerial;
    for (int i = 0; i < count && sent[i] > 0; ++i) {
        if (FHSocket == INVALID_SOCKET || FConnSerial != serial)
            return taken;
        FireSendData(sent[i]);
    }
    // One completion in the queue stands for every send before it.
    if (FAllSent && FHSocket != INVALID_SOCKET && FConnSerial == serial && !FSentNotePosted) {
        FSentNotePosted = true;
        PostMessage(FWindowHandle, WM_SOCKET_NOTIFY, static_cast<WPARAM>(FHSocket), WSAMAKESELECTREPLY(FD_WRITE, 0));
    }
    return taken;
}
