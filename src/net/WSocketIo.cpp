// Reading from and sending on the socket.
#include "net/WSocket.h"

#include <cstring>

#include "platform/Application.h"
#include "platform/SysUtils.h"

namespace {

bool IsConnectionLoss(int Code)
{
    return Code == WSAECONNRESET || Code == WSAENOTSOCK || Code == WSAENOTCONN || Code == WSAEINVAL ||
           Code == WSAECONNABORTED;
}

}  // namespace

// Reading.

int TCustomWSocket::RecvRaw(void* Buffer, int BufferSize, int Flags)
{
    if (FTls)
        return TlsRecv(Buffer, BufferSize, Flags);
    int n = WSocket_recv(FHSocket, Buffer, BufferSize, Flags);
    FReadDrained = FType == SOCK_STREAM && !(Flags & MSG_PEEK) &&
                   (n < 0 ? WSocket_WSAGetLastError() == WSAEWOULDBLOCK : n < BufferSize);
    return n;
}

int TCustomWSocket::RecvFromRaw(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen)
{
    return WSocket_recvfrom(FHSocket, Buffer, BufferSize, 0, reinterpret_cast<sockaddr*>(&From), &FromLen);
}

int TCustomWSocket::Receive(void* Buffer, int BufferSize)
{
    int n = RecvRaw(Buffer, BufferSize, 0);
    if (n < 0)
        FLastError = WSocket_WSAGetLastError();
    else
        CountRead(n);
    return n;
}

std::string TCustomWSocket::ReceiveStr()
{
    int count = GetRcvdCount();
    if (count <= 0)
        return std::string();
    std::string s(static_cast<size_t>(count), '\0');
    int n = Receive(s.data(), count);
    if (n <= 0)
        return std::string();
    s.resize(static_cast<size_t>(n));
    return s;
}

int TCustomWSocket::ReceiveFrom(void* Buffer, int BufferSize, sockaddr_in& From, int& FromLen)
{
    int n = RecvFromRaw(Buffer, BufferSize, From, FromLen);
    if (n < 0)
        FLastError = WSocket_WSAGetLastError();
    else
        CountRead(n);
    return n;
}

// Sending.

int TCustomWSocket::SendChunk(const void* Data, int Len)
{
    if (FType == SOCK_DGRAM)
        return WSocket_sendto(FHSocket, Data, Len, FSendFlags, reinterpret_cast<sockaddr*>(&FSin), sizeof FSin);
    if (FGatherSends && FSendFlags == 0 && !FWriteShut && (!FTls || GetTlsEstablished()))
        return GatherSend(Data, Len);
    if (FTls)
        return TlsSend(Data, Len);
    return WSocket_send(FHSocket, Data, Len, FSendFlags);
}

int TCustomWSocket::RawSend(const void* Data, int Len)
{
    int n = SendChunk(Data, Len);
    if (n > 0)
        FireSendData(n);
    return n;
}

int TCustomWSocket::SendTo(const sockaddr_in& Dest, int DestLen, const void* Data, int Len)
{
    int n = WSocket_sendto(FHSocket, Data, Len, FSendFlags, reinterpret_cast<const sockaddr*>(&Dest), DestLen);
    if (n > 0)
        FireSendData(n);
    return n;
}

void TCustomWSocket::AppendToSendBuffer(const void* Data, int Len)
{
    if (Len <= 0 || !Data)
        return;
    if (FBufList.empty())
        FBufList.push_back(std::make_unique<TBuffer>(FBufSize));
    const char* p = static_cast<const char*>(Data);
    TBuffer* b = FBufList.back().get();
    for (;;) {
        int n = b->Write(p, Len);
        if (n >= Len)
            break;
        p += n;
        Len -= n;
        FBufList.push_back(std::make_unique<TBuffer>(FBufSize));
        b = FBufList.back().get();
    }
}

void TCustomWSocket::AppendStrToSendBuffer(const std::string& Str)
{
    AppendToSendBuffer(Str.data(), static_cast<int>(Str.size()));
}

void TCustomWSocket::ClearSendBuffer()
{
    FBufList.clear();
    DropGather();
}

int TCustomWSocket::BufferedByteCount() const
{
    int total = 0;
    for (const auto& b : FBufList) {
        int len;
        b->Peek(len);
        total += len;
    }
    return total + static_cast<int>(FGather.size()) - FGatherOut;
}

void TCustomWSocket::TryToSend()
{
    if (FHSocket == INVALID_SOCKET || FBufList.empty())
        return;
    const unsigned serial = FConnSerial;
    for (;;) {
        if (FHSocket == INVALID_SOCKET || FConnSerial != serial || FBufList.empty())
            break;
        TBuffer* b = FBufList.front().get();
        int len;
        const char* p = b->Peek(len);
        if (len <= 0) {
            if (FBufList.size() == 1) {
                FAllSent = true;
                break;
            }
            FBufList.pop_front();
            continue;
        }
        int n = SendChunk(p, len);
        if (n == 0)
            break;
        if (n < 0) {
            int err = WSocket_WSAGetLastError();
            if (IsConnectionLoss(err)) {
                FCloseInvoked = true;
                Close();
                FireSessionClosed(static_cast<WORD>(err));
                break;
            }
            if (err == WSAEWOULDBLOCK)
                break;
            ReportSocketError("TryToSend failed");
            break;
        }
        // The bytes leave the buffer before OnSendData runs, so a handler
        // that sends, flushes, clears or closes finds it as it is.
        b->Remove(n);
        FireSendData(n);
        if (n < len)
            break;
    }
}

int TCustomWSocket::Send(const void* Data, int Len)
{
    if (FState != wsConnected) {
        WSocket_WSASetLastError(WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    FAllSent = false;
    int result = 0;
    if (Len > 0) {
        AppendToSendBuffer(Data, Len);
        result = Len;
    }
    TryToSend();
    // One completion in the queue stands for every send before it.
    if (FAllSent && FHSocket != INVALID_SOCKET && !FSentNotePosted) {
        FSentNotePosted = true;
        PostMessage(FWindowHandle, WM_SOCKET_NOTIFY, static_cast<WPARAM>(FHSocket), WSAMAKESELECTREPLY(FD_WRITE, 0));
    }
    return result;
}

int TCustomWSocket::SendStr(const std::string& Str) { return Send(Str.data(), static_cast<int>(Str.size())); }

void TCustomWSocket::Flush()
{
    while (FHSocket != INVALID_SOCKET && ((!FAllSent && !FBufList.empty()) || !FGather.empty())) {
        SendPending();
        if (FHSocket == INVALID_SOCKET || (FAllSent && FGather.empty()))
            break;
        // Wait for the write notification rather than polling; a paused
        // socket gets none, so its handle is watched directly.
        if (FPaused)
            winsock::WaitWritableOrMessage(FHSocket);
        else
            WaitMessageTimeout(-1);
        MessagePump();
    }
}
