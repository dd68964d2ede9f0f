#include "net/WSocketS.h"

#include <algorithm>

namespace {

// After a failed accept the listening socket rests this long before it
// takes the next connection, so a lack of descriptors cannot spin the loop.
constexpr UINT AcceptRetryTimerId = 1;
constexpr UINT AcceptRetryMs = 100;

} // namespace

// ---------------------------------------------------------------------------
// TWSocketClient

TWSocketClient::TWSocketClient(TComponent* AOwner) : TWSocket(AOwner)
{
    // Joins the client list of a server that owns it.
    if (auto* server = dynamic_cast<TCustomWSocketServer*>(AOwner))
        server->AddClient(this);
}

void TWSocketClient::SendBanner()
{
    if (!FBanner.empty())
        SendStr(FBanner + "\r\n");
}

std::string TWSocketClient::GetPeerAddr() { return FPeerAddr; }

std::string TWSocketClient::GetPeerPort() { return FPeerPort; }

void TWSocketClient::Dup(SOCKET NewHSocket)
{
    TWSocket::Dup(NewHSocket);
    // One look at the peer serves both.
    sockaddr_in peer{};
    int len = sizeof peer;
    if (GetState() == wsConnected && GetPeerSockAddr(peer, len) == 0) {
        FPeerAddr = WSocket_inet_ntoa(peer.sin_addr);
        FPeerPort = std::to_string(WSocket_ntohs(peer.sin_port));
    } else {
        FPeerAddr = TWSocket::GetPeerAddr();
        FPeerPort = TWSocket::GetPeerPort();
    }
}

void TWSocketClient::FireSessionClosed(WORD Error)
{
    if (FSessionClosedFlag)
        return;
    FSessionClosedFlag = true;
    PostClosedNotify();
    TWSocket::FireSessionClosed(Error);
}

void TWSocketClient::PostClosedNotify()
{
    if (FServer)
        PostMessage(FServer->GetHandle(), WM_CLIENT_CLOSED_NOTIFY, 0, FSerial);
}

void TWSocketClient::DispatchDone()
{
    if (FReleasePending) {
        FReleasePending = false;
        PostClosedNotify();
    }
    TWSocket::DispatchDone();
}

// ---------------------------------------------------------------------------
// TCustomWSocketServer

TCustomWSocketServer::TCustomWSocketServer(TComponent* AOwner) : TWSocket(AOwner) {}

TCustomWSocketServer::~TCustomWSocketServer()
{
    KillTimer(GetHandle(), AcceptRetryTimerId);
    while (!FClientList.empty()) {
        TWSocketClient* client = FClientList.back().Client;
        FClientList.pop_back();
        try {
            delete client;
        } catch (...) {
        }
    }
}

int TCustomWSocketServer::ClientCount() const { return static_cast<int>(FClientList.size()); }

TWSocketClient* TCustomWSocketServer::ClientAt(int Index) const
{
    if (Index < 0 || Index >= ClientCount())
        return nullptr;
    return FClientList[static_cast<size_t>(Index)].Client;
}

bool TCustomWSocketServer::IsClient(const TWSocketClient* Client) const
{
    return std::any_of(FClientList.begin(), FClientList.end(),
                       [Client](const TClientEntry& e) { return e.Client == Client; });
}

void TCustomWSocketServer::Listen()
{
    TWSocket::Listen();
    // A full accept queue drops connection attempts, and each costs its
    // client a retransmission of a second or more; the kernel caps the
    // value at its own limit.
    if (GetState() == wsListening && GetHSocket() != INVALID_SOCKET)
        WSocket_listen(GetHSocket(), ServerBacklog);
}

void TCustomWSocketServer::FireClientCreate(TWSocketClient* Client)
{
    if (OnClientCreate)
        OnClientCreate(this, Client);
}

void TCustomWSocketServer::FireClientConnect(TWSocketClient* Client, WORD Error)
{
    if (OnClientConnect)
        OnClientConnect(this, Client, Error);
}

void TCustomWSocketServer::FireClientDisconnect(TWSocketClient* Client, WORD Error)
{
    if (OnClientDisconnect)
        OnClientDisconnect(this, Client, Error);
}

void TCustomWSocketServer::AddClient(TWSocketClient* Client)
{
    if (!IsClient(Client)) {
        Client->FSerial = ++FLastSerial;
        FClientList.push_back(TClientEntry{Client, Client, Client->FSerial});
    }
}

void TCustomWSocketServer::RemoveClient(const TComponent* Component)
{
    auto it = std::find_if(FClientList.begin(), FClientList.end(),
                           [Component](const TClientEntry& e) { return e.Component == Component; });
    if (it != FClientList.end())
        FClientList.erase(it);
}

TWSocketClient* TCustomWSocketServer::ClientBySerial(LPARAM Serial) const
{
    for (const TClientEntry& e : FClientList)
        if (e.Serial == Serial)
            return e.Client;
    return nullptr;
}

void TCustomWSocketServer::FreeClient(TWSocketClient* Client)
{
    RemoveClient(Client);
    delete Client;
}

void TCustomWSocketServer::Notification(TComponent* AComponent, TOperation Operation)
{
    TWSocket::Notification(AComponent, Operation);
    // A client registers itself once it is a client (see its constructor);
    // here it leaves the list, whoever destroys it.
    if (Operation == opRemove)
        RemoveClient(AComponent);
}

void TCustomWSocketServer::FireSessionAvailable(WORD Error)
{
    TWSocket::FireSessionAvailable(Error);
    if (Error != 0)
        return;

    ++FClientNum;
    TWSocketClient* client = FClientClass(this).release();
    AddClient(client);
    FireClientCreate(client);
    client->SetName(Name() + "Client" + std::to_string(FClientNum));
    client->SetBanner(FBanner);
    client->SetServer(this);

    SOCKET h = INVALID_SOCKET;
    try {
        h = Accept();
    } catch (Exception& E) {
        AcceptFailed(client, &E);
        return;
    }
    if (h == INVALID_SOCKET) {
        // Already reported through OnError.
        AcceptFailed(client, nullptr);
        return;
    }
    try {
        client->Dup(h);
    } catch (Exception& E) {
        DupFailed(client, h, &E);
        return;
    }
    if (client->GetState() != wsConnected) {
        // Reported through the client's OnError.
        DupFailed(client, h, nullptr);
        return;
    }

    // The client is not released while the handlers below run, even if
    // they process messages.
    LPARAM serial = client->FSerial;
    client->EnterDispatch();
    FireClientConnect(client, Error);

    if (ClientBySerial(serial) == client && client->GetState() == wsConnected) {
        if (FMaxClients <= 0 || FMaxClients >= ClientCount()) {
            client->SendBanner();
        } else {
            client->SetBanner(FBannerToBusy);
            client->SendBanner();
            client->Close();
        }
    }
    if (ClientBySerial(serial) == client)
        client->LeaveDispatch();
}

void TCustomWSocketServer::AcceptFailed(TWSocketClient* Client, Exception* E)
{
    // The listening socket stays open and the client that got no
    // connection is freed at once. Out of descriptors or buffers, the
    // waiting connection would be signalled again at once: listening
    // rests a moment first.
    if (IsClient(Client))
        FreeClient(Client);
    int error = GetLastError();
    if (GetState() == wsListening && (error == WSAEMFILE || error == WSAENOBUFS)) {
        Pause();
        SetTimer(GetHandle(), AcceptRetryTimerId, AcceptRetryMs);
    }
    if (E)
        ReportAcceptFailure(*E);
}

void TCustomWSocketServer::DupFailed(TWSocketClient* Client, SOCKET Handle, Exception* E)
{
    // The peer may be gone already. The client is freed; a handle it
    // holds without having adopted it is closed here.
    bool orphan = Client->GetState() == wsClosed && Client->GetHSocket() == Handle;
    if (IsClient(Client))
        FreeClient(Client);
    if (orphan)
        WSocket_closesocket(Handle);
    if (E)
        ReportAcceptFailure(*E);
}

void TCustomWSocketServer::ReportAcceptFailure(Exception& E)
{
    // Goes to OnBgException without closing the listening socket, unless
    // the handler asks for it.
    FireBgException(E, false);
}

void TCustomWSocketServer::WndProc(TMessage& MsgRec)
{
    if (MsgRec.Msg == WM_CLIENT_CLOSED_NOTIFY) {
        TWSocketClient* client = ClientBySerial(MsgRec.LParam);
        if (!client)
            return;  // already destroyed by someone else
        if (client->InHandler()) {
            // Released once its handlers have returned.
            client->FReleasePending = true;
            return;
        }
        try {
            try {
                FireClientDisconnect(client, 0);
            } catch (...) {
                if (IsClient(client))
                    FreeClient(client);
                throw;
            }
            if (IsClient(client))
                FreeClient(client);
        } catch (Exception& E) {
            HandleBgException(E);
        }
        return;
    }
    if (MsgRec.Msg == WM_TIMER && MsgRec.WParam == AcceptRetryTimerId) {
        KillTimer(GetHandle(), AcceptRetryTimerId);
        if (GetState() == wsListening)
            Resume();
        return;
    }
    TWSocket::WndProc(MsgRec);
}
