#include "net/WSocket.h"

#include <algorithm>
#include <cstring>

#include "platform/Application.h"
#include "platform/SysUtils.h"

// ---------------------------------------------------------------------------
// Line mode.
//
// The receive buffer holds, in arrival order, the unread part of the line
// being delivered ([0, FLineLength)) followed by the bytes received after
// it; a zero byte follows the last one.

namespace {
const char BackspaceEcho[3] = {8, 32, 8};
}

TCustomLineWSocket::TCustomLineWSocket(TComponent* AOwner) : TCustomSocksWSocket(AOwner)
{
    FLineEnd = "\r\n";
    FLineMode = false;
}

TCustomLineWSocket::~TCustomLineWSocket() { BeginDestroy(); }

void TCustomLineWSocket::ResetToDefaults()
{
    TCustomSocksWSocket::ResetToDefaults();
    // Bytes of an old connection never reach the next one.
    DropReceiveBuffer();
}

void TCustomLineWSocket::DropReceiveBuffer()
{
    FRcvdPtr.reset();
    FRcvBufSize = 0;
    FRcvdCnt = 0;
    FRcvdOff = 0;
    FLineLength = 0;
}

void TCustomLineWSocket::SetLineMode(bool Value)
{
    if (Value == FLineMode)
        return;
    FLineMode = Value;
    bool replay = FRcvdCnt > 0 || FLineLength > 0;
    if (!Value)
        FLineLength = 0;  // an unread rest of a line is plain data now
    if (replay)
        PostMessage(FWindowHandle, WM_LINE_REPLAY, 0, 0);
}

int TCustomLineWSocket::GetRcvdCount()
{
    if (FLineMode && !FLineEnd.empty())
        return FLineLength;
    // Buffered bytes are read before the socket's, so they count too.
    if (FRcvdCnt > 0)
        return FRcvdCnt + std::max(SocketRcvdCount(), 0);
    return TCustomSocksWSocket::GetRcvdCount();
}

void TCustomLineWSocket::CompactReceiveBuffer()
{
    if (FRcvdOff == 0 || !FRcvdPtr)
        return;
    std::memmove(FRcvdPtr.get(), RcvdData(), static_cast<size_t>(FRcvdCnt) + 1);
    FRcvdOff = 0;
}

void TCustomLineWSocket::GrowReceiveBuffer(int Needed)
{
    if (FRcvdPtr && FRcvdOff + Needed <= FRcvBufSize)
        return;
    if (FRcvdPtr && Needed <= FRcvBufSize) {
        CompactReceiveBuffer();
        return;
    }
    // Doubling keeps the copies of a growing line linear in its length.
    int size = std::max({Needed, FRcvBufSize < (1 << 29) ? FRcvBufSize * 2 : Needed, 256});
    auto area = std::make_unique<char[]>(static_cast<size_t>(size));
    if (FRcvdPtr && FRcvdCnt > 0)
        std::memcpy(area.get(), RcvdData(), static_cast<size_t>(FRcvdCnt));
    area[static_cast<size_t>(FRcvdCnt)] = 0;
    FRcvdPtr = std::move(area);
    FRcvBufSize = size;
    FRcvdOff = 0;
}

void TCustomLineWSocket::ConsumeReceived(int Count)
{
    FRcvdOff += Count;
    FRcvdCnt -= Count;
    if (FRcvdCnt <= 0) {
        FRcvdCnt = 0;
        FRcvdOff = 0;
        FRcvdPtr[0] = 0;
    }
}

int TCustomLineWSocket::RecvRaw(void* Buffer, int BufferSize, int Flags)
{
    if (BufferSize < 0)
        BufferSize = 0;
    bool lines = FLineMode && !FLineEnd.empty();
    int n;
    if (lines && FLineLength > 0)
        n = std::min({BufferSize, FLineLength, FRcvdCnt});
    else if (!lines && FRcvdCnt > 0)
        n = std::min(BufferSize, FRcvdCnt);
    else
        return TCustomSocksWSocket::RecvRaw(Buffer, BufferSize, Flags);
    std::memcpy(Buffer, RcvdData(), static_cast<size_t>(n));
    ConsumeReceived(n);
    if (lines && FLineLength > 0)
        FLineLength -= n;
    return n;
}

// Raises OnDataAvailable while the pending line is unread. False when the
// handler stopped reading, so the line stays pending for a later call, or
// when the connection went away inside the handler.
bool TCustomLineWSocket::DeliverPendingLine()
{
    const unsigned serial = FConnSerial;
    while (FLineMode && FLineLength > 0) {
        int before = FLineLength;
        if (!TCustomSocksWSocket::FireDataAvailable(0)) {
            // No handler: the line is dropped.
            ConsumeReceived(FLineLength);
            FLineLength = 0;
            break;
        }
        if (!FRcvdPtr || FConnSerial != serial)
            return false;
        if (FLineMode && FLineLength == before)
            return false;
    }
    return true;
}

namespace {

// Index of the first LineEnd at or after From in Data[0, Count), -1 when
// there is none.
int FindLineEnd(const char* Data, int Count, int From, const std::string& LineEnd)
{
    int le = static_cast<int>(LineEnd.size());
    int last = Count - le;
    for (int i = From; i <= last;) {
        const void* q = std::memchr(Data + i, LineEnd[0], static_cast<size_t>(last - i + 1));
        if (!q)
            return -1;
        i = static_cast<int>(static_cast<const char*>(q) - Data);
        if (std::memcmp(Data + i, LineEnd.data(), static_cast<size_t>(le)) == 0)
            return i;
        ++i;
    }
    return -1;
}

// Bytes one line-mode pass reads from the socket at most.
constexpr int LineReadChunk = 64 * 1024;

}  // namespace

bool TCustomLineWSocket::FireDataAvailable(WORD Error)
{
    // The proxy's replies are never lines: line mode waits for the tunnel.
    if (!FLineMode || FLineEnd.empty() || SocksNegotiating())
        return TCustomSocksWSocket::FireDataAvailable(Error);
    const unsigned serial = FConnSerial;
    int le = static_cast<int>(FLineEnd.size());
    int waiting = FHSocket == INVALID_SOCKET ? 0 : SocksWaitingCount();
    if (waiting <= 0 && FRcvdCnt <= 0)
        return true;
    int searchStart = 0;
    if (waiting > 0) {
        // All the socket held, read from the socket itself: it is empty now.
        const bool all = waiting <= LineReadChunk && FSocksRcvdCnt == 0;
        waiting = std::min(waiting, LineReadChunk);
        CompactReceiveBuffer();
        GrowReceiveBuffer(FRcvdCnt + waiting + 1);
        int n = TCustomSocksWSocket::RecvRaw(RcvdData() + FRcvdCnt, waiting, 0);
        if (n < 0)
            FLastError = WSocket_WSAGetLastError();
        if (n <= 0)
            return true;
        if (all && n == waiting)
            FReadDrained = true;
        CountRead(n);
        RcvdData()[FRcvdCnt + n] = 0;
        if (FLineEdit)
            ApplyLineEditing(n);
        else if (FLineEcho)
            Send(RcvdData() + FRcvdCnt, n);
        if (!FRcvdPtr || FConnSerial != serial)
            return true;
        searchStart = std::max(0, FRcvdCnt - le);
        FRcvdCnt += n;
    }
    if (FLineLength > 0) {
        // A line left pending by a handler that did not read it.
        if (!DeliverPendingLine())
            return true;
        searchStart = 0;
    }
    while (FLineMode && FRcvdPtr) {
        if (FLineEnd.empty())
            break;
        int i = FindLineEnd(RcvdData(), FRcvdCnt, searchStart, FLineEnd);
        if (i < 0)
            break;
        FLineLength = i + static_cast<int>(FLineEnd.size());
        if (!DeliverPendingLine())
            return true;
        searchStart = 0;
    }
    if (!FLineMode)
        FLineLength = 0;  // the rest is plain buffered data now
    else if (FLineLimit > 0 && FRcvdCnt > FLineLimit && FRcvdPtr && FConnSerial == serial)
        LineTooLong();
    return true;
}

void TCustomLineWSocket::FireLineTooLong()
{
    if (OnLineTooLong)
        OnLineTooLong(this);
}

void TCustomLineWSocket::LineTooLong()
{
    const unsigned serial = FConnSerial;
    FireLineTooLong();
    if (FConnSerial != serial || !FLineMode || FLineEnd.empty() || FLineLimit <= 0 || FRcvdCnt <= FLineLimit)
        return;
    // Nobody took it: the bytes go and so does the connection.
    FLineLength = 0;
    ConsumeReceived(FRcvdCnt);
    Close();
}

void TCustomLineWSocket::ApplyLineEditing(int& Count)
{
    int old = FRcvdCnt;
    int w = old, low = old;
    std::vector<char> scratch;
    // Echoed in one piece once the buffer is settled: a send that fails
    // closes the socket and takes the buffer with it.
    std::string echo;
    bool editing = false;
    const char* data = RcvdData();
    auto put = [&](char c) {
        if (w >= static_cast<int>(scratch.size()))
            scratch.resize(scratch.size() + 256);
        scratch[static_cast<size_t>(w)] = c;
    };
    auto startEditing = [&](int r) {
        if (editing)
            return;
        editing = true;
        scratch.assign(static_cast<size_t>(((old + Count + 256) / 256) * 256), 0);
        std::memcpy(scratch.data(), data, static_cast<size_t>(r));
    };
    for (int k = 0; k < Count; ++k) {
        int r = old + k;
        char c = data[r];
        if (c == 8) {
            startEditing(r);
            if (FLineEcho && w > 0)
                echo.append(BackspaceEcho, 3);
            if (w > 0) {
                --w;
                low = std::min(low, w);
            }
        } else if (c == 9) {
            startEditing(r);
            do {
                put(' ');
                if (FLineEcho)
                    echo += ' ';
                ++w;
            } while (w % 8 != 0);
        } else {
            if (FLineEcho)
                echo += c;
            if (editing)
                put(c);
            ++w;
        }
    }
    if (editing) {
        GrowReceiveBuffer(w + 1);
        char* dest = RcvdData();
        std::memcpy(dest, scratch.data(), static_cast<size_t>(w));
        dest[w] = 0;
        FRcvdCnt = low;
        Count = w - low;
    }
    if (!echo.empty())
        SendStr(echo);
}

void TCustomLineWSocket::FireSessionClosed(WORD Error)
{
    if (FRcvdPtr) {
        if (FLineMode && FRcvdCnt > 0 && (FLineLimit <= 0 || FRcvdCnt <= FLineLimit)) {
            // The unterminated rest is the last line; one over the limit
            // never is.
            FLineLength = FRcvdCnt;
            DeliverPendingLine();
        }
        DropReceiveBuffer();
    }
    TCustomSocksWSocket::FireSessionClosed(Error);
}

void TCustomLineWSocket::WndProc(TMessage& MsgRec)
{
    if (MsgRec.Msg != WM_LINE_REPLAY) {
        TCustomSocksWSocket::WndProc(MsgRec);
        return;
    }
    try {
        while (FRcvdCnt > 0) {
            int before = FRcvdCnt;
            FireDataAvailable(0);
            if (FRcvdCnt == before)
                break;
        }
    } catch (Exception& E) {
        HandleBgException(E);
    }
}
