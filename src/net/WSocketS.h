// A listening TCP socket that keeps one client object per accepted
// connection: created by class, named, greeted with a banner, refused
// politely beyond MaxClients, and released from the message loop after it
// has closed.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/WSocket.h"

// Posted by a client to its server's window: wParam 0, lParam the client's
// serial number, which the server never gives twice (an address may come
// back for a new client while an old notification still waits).
constexpr UINT WM_CLIENT_CLOSED_NOTIFY = WM_USER + 30;

class TCustomWSocketServer;

class TWSocketClient : public TWSocket {
public:
    explicit TWSocketClient(TComponent* AOwner);

    const std::string& GetBanner() const { return FBanner; }
    void SetBanner(const std::string& Value) { FBanner = Value; }
    TCustomWSocketServer* GetServer() const { return FServer; }
    void SetServer(TCustomWSocketServer* Value) { FServer = Value; }

    // Sends Banner and CR LF, unless Banner is empty.
    virtual void SendBanner();

    // The peer as captured when the connection was adopted; still readable
    // after the close.
    std::string GetPeerAddr() override;
    std::string GetPeerPort() override;
    void Dup(SOCKET NewHSocket) override;

protected:
    void FireSessionClosed(WORD Error) override;
    // Posts a close notification that had to wait for the handlers.
    void DispatchDone() override;

    std::string FBanner;
    TCustomWSocketServer* FServer = nullptr;
    std::string FPeerAddr;
    std::string FPeerPort;
    bool FSessionClosedFlag = false;

private:
    friend class TCustomWSocketServer;
    LPARAM FSerial = 0;
    // The server saw the close while a handler of this client was running.
    bool FReleasePending = false;
    void PostClosedNotify();
};

// The class of the client objects: makes one with the given owner.
using TWSocketClientClass = std::function<std::unique_ptr<TWSocketClient>(TComponent* Owner)>;

template <class T>
TWSocketClientClass ClientClassOf()
{
    return [](TComponent* Owner) -> std::unique_ptr<TWSocketClient> { return std::make_unique<T>(Owner); };
}

using TWSocketClientCreateEvent = std::function<void(TObject* Sender, TWSocketClient* Client)>;
using TWSocketClientConnectEvent = std::function<void(TObject* Sender, TWSocketClient* Client, WORD Error)>;

class TCustomWSocketServer : public TWSocket {
public:
    explicit TCustomWSocketServer(TComponent* AOwner);
    ~TCustomWSocketServer() override;

    const std::string& GetBanner() const { return FBanner; }
    void SetBanner(const std::string& Value) { FBanner = Value; }
    const std::string& GetBannerToBusy() const { return FBannerToBusy; }
    void SetBannerToBusy(const std::string& Value) { FBannerToBusy = Value; }
    const TWSocketClientClass& GetClientClass() const { return FClientClass; }
    void SetClientClass(TWSocketClientClass Value) { FClientClass = std::move(Value); }
    // Most clients served at once; 0 or less: no limit.
    int GetMaxClients() const { return FMaxClients; }
    void SetMaxClients(int Value) { FMaxClients = Value; }

    TWSocketClientCreateEvent OnClientCreate;
    TWSocketClientConnectEvent OnClientConnect;
    TWSocketClientConnectEvent OnClientDisconnect;

    virtual int ClientCount() const;
    // Null for an index outside the list.
    virtual TWSocketClient* ClientAt(int Index) const;
    bool IsClient(const TWSocketClient* Client) const;

    // Listens like any socket, with room for more waiting connections
    // than the core's backlog of 5.
    void Listen() override;
    static constexpr int ServerBacklog = 1024;

protected:
    virtual void FireClientCreate(TWSocketClient* Client);
    virtual void FireClientConnect(TWSocketClient* Client, WORD Error);
    virtual void FireClientDisconnect(TWSocketClient* Client, WORD Error);

    void Notification(TComponent* AComponent, TOperation Operation) override;
    void WndProc(TMessage& MsgRec) override;
    void FireSessionAvailable(WORD Error) override;

    std::string FBanner = "Welcome to TcpSrv";
    std::string FBannerToBusy = "Sorry, too many clients";
    TWSocketClientClass FClientClass = ClientClassOf<TWSocketClient>();

private:
    friend class TWSocketClient;
    struct TClientEntry {
        TComponent* Component;
        TWSocketClient* Client;
        LPARAM Serial;
    };
    void AddClient(TWSocketClient* Client);
    void RemoveClient(const TComponent* Component);
    void FreeClient(TWSocketClient* Client);
    void AcceptFailed(TWSocketClient* Client, Exception* E);
    void DupFailed(TWSocketClient* Client, SOCKET Handle, Exception* E);
    void ReportAcceptFailure(Exception& E);
    TWSocketClient* ClientBySerial(LPARAM Serial) const;

    std::vector<TClientEntry> FClientList;
    int FClientNum = 0;
    LPARAM FLastSerial = 0;
    int FMaxClients = 0;
};

class TWSocketServer : public TCustomWSocketServer {
public:
    explicit TWSocketServer(TComponent* AOwner) : TCustomWSocketServer(AOwner) {}
};
