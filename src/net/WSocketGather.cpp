// Gathered sends: the pieces a socket writes in one turn leave in one
// write (for TLS, in full records) when the owner asks for it.
#include "net/WSocket.h"

int TCustomWSocket::GatherSend(const void* Data, int Len)
{
    if (FGatherBlocked || static_cast<int>(FGather.size()) + Len > GatherSize) {
        if (!FlushGather())
            return -1;
    }
    if (FGather.capacity() < static_cast<size_t>(GatherSize))
        FGather.reserve(GatherSize);
    const char* p = static_cast<const char*>(Data);
    FGather.insert(FGather.end(), p, p + Len);
    return Len;
}

bool TCustomWSocket::FlushGather()
{
    while (FGatherOut < static_cast<int>(FGather.size())) {
        const char* p = FGather.data() + FGatherOut;
        const int len = static_cast<int>(FGather.size()) - FGatherOut;
        // A TLS write retried after a refusal must offer the same bytes
        // again, so nothing is added until all have gone.
        const int n = FTls ? TlsSend(p, len) : WSocket_send(FHSocket, p, len, 0);
        if (n <= 0) {
            if (n == 0)
                WSocket_WSASetLastError(WSAEWOULDBLOCK);
            FGatherBlocked = true;
            return false;
        }
        FGatherOut += n;
        // A short plain write means the network is full; the write
        // notification has been armed.
        if (!FTls && n < len) {
            WSocket_WSASetLastError(WSAEWOULDBLOCK);
            FGatherBlocked = true;
            return false;
        }
    }
    DropGather();
    return true;
}

bool TCustomWSocket::SendGathered()
{
    if (FGather.empty() || FHSocket == INVALID_SOCKET)
        return true;
    if (FlushGather())
        return true;
    // Not drained while gathered bytes wait for the network.
    FAllSent = false;
    SendFailed();
    return false;
}

void TCustomWSocket::SendPending()
{
    // Gathered bytes are written before and after the buffer's, so that
    // a drained buffer means everything has been written.
    if (SendGathered()) {
        TryToSend();
        SendGathered();
    }
}

void TCustomWSocket::DropGather()
{
    FGather.clear();
    FGatherOut = 0;
    FGatherBlocked = false;
}

void TCustomWSocket::SendFailed()
{
    int err = WSocket_WSAGetLastError();
    if (err == WSAEWOULDBLOCK)
        return;
    if (err == WSAECONNRESET || err == WSAENOTSOCK || err == WSAENOTCONN || err == WSAEINVAL ||
        err == WSAECONNABORTED) {
        FCloseInvoked = true;
        Close();
        FireSessionClosed(static_cast<WORD>(err));
        return;
    }
    ReportSocketError("TryToSend failed");
}
