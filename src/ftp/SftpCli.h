// TSftpCli: uploads over SFTP (version 3) on an SSH session of libssh.
// The session is non-blocking and runs on the caller's thread: the socket's
// readiness comes as posted notifications, and each blocking call pumps
// the message queue while it waits, as TFtpClient's calls do. A step gives
// up after Timeout seconds without progress. A failed call leaves the
// reason in ErrorText; a failure of the connection also closes the session.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/Classes.h"
#include "platform/Windows.h"

struct ssh_session_struct;
struct ssh_channel_struct;
struct ssh_key_struct;

// Private messages of the client's hidden window.
constexpr UINT WM_SFTP_SOCKET = WM_USER + 1;
constexpr UINT WM_SFTP_LOOKUP = WM_USER + 2;
constexpr UINT WM_SFTP_KEY = WM_USER + 3;

// "SHA256:" and the unpadded base64 of a SHA-256 digest, as ssh-keygen -l
// prints a key's fingerprint.
std::string SshFingerprint(const unsigned char Digest[32]);

// "host" or "host:port" (port 22 when none).
void SplitSshHost(const std::string& Text, std::string& Host, std::string& Port);

class TSftpCli : public TComponent {
public:
    explicit TSftpCli(TComponent* AOwner);
    ~TSftpCli() override;
    TSftpCli(const TSftpCli&) = delete;
    TSftpCli& operator=(const TSftpCli&) = delete;

    std::string HostName;
    std::string Port = "22";
    std::string UserName;
    std::string PassWord;
    std::string KeyFile;     // OpenSSH private key; PassWord is its passphrase
    std::string HostKey;     // pinned "SHA256:..." fingerprint; empty: KnownHosts
    std::string KnownHosts;  // empty: ~/.ssh/known_hosts of the running user
    int Timeout = 15;        // seconds a step may go without progress

    // Blocking calls; false with ErrorText set.
    // Lookup, connection, host key check, login and the SFTP start.
    bool Connect();
    // Later names are relative to Dir, which must be an existing directory.
    bool Cwd(const std::string& Dir);
    // Stores the local file under RemoteName.
    bool Put(const std::string& LocalFile, const std::string& RemoteName);
    // Renames From over To: posix-rename@openssh.com where the server
    // offers it, else remove and rename.
    bool Rename(const std::string& From, const std::string& To);
    // Ends the session; never fails.
    void Quit();

    bool Connected() const { return FChannel != nullptr; }
    bool PosixRename() const { return FPosixRename; }
    const std::string& ErrorText() const { return FErrorText; }
    // The server's host key fingerprint of the last connection.
    const std::string& ServerFingerprint() const { return FServerFingerprint; }

private:
    struct TReply;
    static LRESULT WndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam);

    // A failure that ends the session.
    bool Fail(const std::string& Text);
    // A request the server refused: the session goes on.
    bool Refuse(const std::string& Text);
    // Waits until the socket can be read (or written, with Write): false
    // (and the session closed) when Timeout passes first or the program ends.
    // Socket false waits for the other notifications only.
    bool WaitSocket(bool Write = false, bool Socket = true);
    // Waits as the session needs it.
    bool WaitSession();
    // Runs Call until it returns something else than Again.
    template <class F> int Drive(F Call, int Again);
    bool Lookup(uint32_t& Address);
    bool OpenSocket(uint32_t Address);
    bool CheckHostKey(const std::string& KnownHostsFile);
    bool Login();
    // Reads and decrypts the key file on a worker thread (a passphrase
    // costs a good part of a second); an SSH_* result.
    int ImportKey(ssh_key_struct*& Key);
    bool StartSftp();
    // One round of I/O: writes what is queued, reads what arrived. False
    // on a session error; Progress tells whether anything moved.
    bool Exchange(bool& Progress);
    // Queues one request; its id.
    uint32_t Queue(uint8_t Type, const std::string& Body);
    // Takes the next whole reply off the input; false when none is there.
    bool TakeReply(TReply& Reply);
    // Sends a request and waits for its reply.
    bool Request(uint8_t Type, const std::string& Body, TReply& Reply);
    // A STATUS reply: true for OK, else fails with What and the server's text.
    bool StatusOk(const TReply& Reply, const std::string& What);
    bool CloseHandle(const std::string& Handle);
    void Drop();
    std::string SessionError() const;

    HWND FWindow = nullptr;
    int FSocket = -1;
    ssh_session_struct* FSession = nullptr;
    ssh_channel_struct* FChannel = nullptr;
    bool FSocketHandedOver = false;  // the session closes the socket
    std::string FStep;           // the step running, for the timeout text
    std::string FErrorText;
    std::string FServerFingerprint;
    std::string FDir;            // prefix of remote names, "" or ending in "/"
    std::string FOut, FIn;       // SFTP bytes to send and received
    uint32_t FNextId = 1;
    bool FPosixRename = false;
    bool FNotified = false;      // a socket notification came in
    size_t FOutPos = 0, FInPos = 0;
    bool FLookupDone = false;
    bool FKeyDone = false;
    int FLookupError = 0;
    char FLookupBuffer[1024] = {};
};
