// TSftpCli: SSH transport and login through libssh, the SFTP requests of
// an upload written here (so that writes are pipelined and the OpenSSH
// rename extension can be used).
#include "ftp/SftpCli.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <pwd.h>
#include <unistd.h>

#include <libssh/libssh.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <optional>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include "net/WSocket.h"
#include "platform/Application.h"
#include "platform/Winsock.h"

namespace {

// SFTP version 3 packet types and flags.
enum : uint8_t {
    SSH_FXP_INIT = 1,
    SSH_FXP_VERSION = 2,
    SSH_FXP_OPEN = 3,
    SSH_FXP_CLOSE = 4,
    SSH_FXP_WRITE = 6,
    SSH_FXP_REMOVE = 13,
    SSH_FXP_STAT = 17,
    SSH_FXP_RENAME = 18,
    SSH_FXP_STATUS = 101,
    SSH_FXP_HANDLE = 102,
    SSH_FXP_ATTRS = 105,
    SSH_FXP_EXTENDED = 200,
};
constexpr uint32_t SSH_FXF_WRITE = 0x02, SSH_FXF_CREAT = 0x08, SSH_FXF_TRUNC = 0x10;
constexpr uint32_t SSH_FILEXFER_ATTR_SIZE = 0x01, SSH_FILEXFER_ATTR_UIDGID = 0x02,
                   SSH_FILEXFER_ATTR_PERMISSIONS = 0x04;
constexpr size_t WriteChunk = 64 * 1024;   // data bytes per WRITE
constexpr int WritesInFlight = 32;         // WRITEs sent before their replies

void PutU32(std::string& S, uint32_t V)
{
    const char b[4] = {char(V >> 24), char(V >> 16), char(V >> 8), char(V)};
    S.append(b, 4);
}
void PutU64(std::string& S, uint64_t V)
{
    PutU32(S, uint32_t(V >> 32));
    PutU32(S, uint32_t(V));
}
void PutStr(std::string& S, const std::string& V)
{
    PutU32(S, uint32_t(V.size()));
    S += V;
}

// Reads the fields of a packet; a short packet reads as zeros and sets Bad.
struct TReader {
    const std::string& S;
    size_t Pos = 0;
    bool Bad = false;
    uint32_t U32()
    {
        if (S.size() - Pos < 4) {
            Bad = true;
            Pos = S.size();
            return 0;
        }
        auto b = [&](size_t i) { return uint32_t(static_cast<unsigned char>(S[Pos + i])); };
        uint32_t v = b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
        Pos += 4;
        return v;
    }
    std::string Str()
    {
        uint32_t n = U32();
        if (S.size() - Pos < n) {
            Bad = true;
            Pos = S.size();
            return {};
        }
        std::string v = S.substr(Pos, n);
        Pos += n;
        return v;
    }
};

// A file descriptor closed with its owner.
struct TFd {
    int Fd;
    explicit TFd(int F) : Fd(F) {}
    ~TFd()
    {
        if (Fd >= 0)
            ::close(Fd);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
};

// The "SHA256:..." word of a pinned fingerprint (a whole ssh-keygen -l
// line is accepted), without base64 padding.
std::string PinnedFingerprint(const std::string& Text)
{
    size_t b = Text.find("SHA256:");
    if (b == std::string::npos)
        return Text;
    size_t e = Text.find_first_of(" \t\r\n", b);
    std::string fp = Text.substr(b, e == std::string::npos ? std::string::npos : e - b);
    while (!fp.empty() && fp.back() == '=')
        fp.pop_back();
    return fp;
}

std::string StatusName(uint32_t Code)
{
    static const char* const names[] = {"OK", "end of file", "No such file", "Permission denied", "Failure",
                                        "Bad message", "No connection", "Connection lost",
                                        "Operation unsupported"};
    return Code < std::size(names) ? names[Code] : "SFTP status " + std::to_string(Code);
}

} // namespace

struct TSftpCli::TReply {
    uint8_t Type = 0;
    uint32_t Id = 0;
    std::string Data;  // after the id
};

std::string SshFingerprint(const unsigned char Digest[32])
{
    static const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out = "SHA256:";
    uint32_t acc = 0;
    int bits = 0;
    for (int i = 0; i < 32; ++i) {
        acc = acc << 8 | Digest[i];
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += b64[(acc >> bits) & 63];
        }
    }
    if (bits > 0)
        out += b64[(acc << (6 - bits)) & 63];
    return out;
}

void SplitSshHost(const std::string& Text, std::string& Host, std::string& Port)
{
    Host = Text;
    Port = "22";
    size_t colon = Text.rfind(':');
    if (colon == std::string::npos || Text.find(':') != colon)
        return;
    for (size_t i = colon + 1; i < Text.size(); ++i)
        if (Text[i] < '0' || Text[i] > '9')
            return;
    Host = Text.substr(0, colon);
    if (colon + 1 < Text.size())
        Port = Text.substr(colon + 1);
}

TSftpCli::TSftpCli(TComponent* AOwner) : TComponent(AOwner)
{
    FWindow = CreateWindowHandle(&WndProc, nullptr, reinterpret_cast<LONG_PTR>(this), "TSftpCliWindow");
}

TSftpCli::~TSftpCli()
{
    Drop();
    if (FWindow)
        DestroyWindow(FWindow);
}

LRESULT TSftpCli::WndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    auto* self = reinterpret_cast<TSftpCli*>(GetWindowLongPtr(Wnd, GWL_USERDATA));
    if (self && Msg == WM_SFTP_SOCKET) {
        if (static_cast<int>(wParam) == self->FSocket)
            self->FNotified = true;
        return 0;
    }
    if (self && Msg == WM_SFTP_KEY) {
        self->FKeyDone = true;
        self->FNotified = true;
        return 0;
    }
    if (self && Msg == WM_SFTP_LOOKUP) {
        self->FLookupDone = true;
        self->FLookupError = WSAGETASYNCERROR(lParam);
        self->FNotified = true;
        return 0;
    }
    return DefWindowProc(Wnd, Msg, wParam, lParam);
}

bool TSftpCli::Refuse(const std::string& Text)
{
    if (FErrorText.empty())
        FErrorText = Text;
    return false;
}

bool TSftpCli::Fail(const std::string& Text)
{
    if (FErrorText.empty())
        FErrorText = Text;
    Drop();
    return false;
}

std::string TSftpCli::SessionError() const
{
    const char* text = FSession ? ssh_get_error(FSession) : nullptr;
    if (!text || !*text)
        return "connection lost";
    const std::string t = text;
    if (t.find("disconnected") != std::string::npos || t.find("Connection reset") != std::string::npos)
        return "connection closed by the server (" + t + ")";
    return t;
}

bool TSftpCli::WaitSocket(bool Write, bool Socket)
{
    const DWORD stop = GetTickCount() + static_cast<DWORD>(std::max(Timeout, 1)) * 1000u;
    bool quitSeen = false;
    if (FSocket >= 0 && Socket) {
        // One notification per wait: the watch ends when it fires.
        const int fd = FSocket;
        const HWND wnd = FWindow;
        WatchDescriptor(fd, EPOLLIN | (Write ? uint32_t(EPOLLOUT) : 0u), [fd, wnd](uint32_t Events) {
            UnwatchDescriptor(fd);
            PostMessage(wnd, WM_SFTP_SOCKET, static_cast<WPARAM>(fd), static_cast<LPARAM>(Events));
        });
    }
    while (!FNotified) {
        if (quitSeen || (Application && Application->Terminated()))
            return Fail("stopped in " + FStep + ": the program is closing");
        const int32_t left = static_cast<int32_t>(stop - GetTickCount());
        if (left < 0)
            return Fail("timed out after " + std::to_string(Timeout) + " s in " + FStep);
        if (Application)
            Application->ProcessMessages();
        else
            quitSeen = PumpPendingMessages();
        if (FNotified)
            break;
        if (Application)
            Application->WaitForMessage(left + 1);
        else
            WaitMessageTimeout(left + 1);
    }
    if (FSocket >= 0)
        UnwatchDescriptor(FSocket);
    FNotified = false;
    return true;
}

bool TSftpCli::WaitSession()
{
    return WaitSocket(FSession && (ssh_get_poll_flags(FSession) & SSH_WRITE_PENDING));
}

template <class F> int TSftpCli::Drive(F Call, int Again)
{
    for (;;) {
        FNotified = false;
        const int rc = Call();
        if (rc != Again)
            return rc;
        if (!WaitSession())
            return SSH_ERROR;
    }
}

bool TSftpCli::Lookup(uint32_t& Address)
{
    in_addr a{};
    if (inet_pton(AF_INET, HostName.c_str(), &a) == 1) {
        Address = a.s_addr;
        return true;
    }
    FLookupDone = false;
    FNotified = false;
    if (!winsock::WSAAsyncGetHostByName(FWindow, WM_SFTP_LOOKUP, HostName.c_str(), FLookupBuffer,
                                        sizeof FLookupBuffer))
        return Fail(HostName + ": " + WinsockErrorText(winsock::WSAGetLastError()));
    while (!FLookupDone)
        if (!WaitSocket())
            return false;
    const auto* h = reinterpret_cast<const hostent*>(FLookupBuffer);
    if (FLookupError != 0 || !h->h_addr_list || !h->h_addr_list[0])
        return Fail(HostName + ": " + WinsockErrorText(FLookupError ? FLookupError : WSAHOST_NOT_FOUND));
    std::memcpy(&Address, h->h_addr_list[0], 4);
    return true;
}

bool TSftpCli::OpenSocket(uint32_t Address)
{
    char* end = nullptr;
    const unsigned long port = std::strtoul(Port.c_str(), &end, 10);
    if (Port.empty() || *end || port == 0 || port > 65535)
        return Fail("bad port \"" + Port + "\"");
    FSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (FSocket < 0)
        return Fail(WinsockErrorText(winsock::ErrnoToWinsock(errno)));
    const int one = 1;
    ::setsockopt(FSocket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = Address;
    if (::connect(FSocket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (errno != EINPROGRESS)
            return Fail(WinsockErrorText(winsock::ErrnoToWinsock(errno)));
        FNotified = false;
        if (!WaitSocket(true))
            return false;
        int error = 0;
        socklen_t len = sizeof error;
        ::getsockopt(FSocket, SOL_SOCKET, SO_ERROR, &error, &len);
        if (error != 0)
            return Fail(WinsockErrorText(winsock::ErrnoToWinsock(error)));
    }
    return true;
}

bool TSftpCli::Connect()
{
    FErrorText.clear();
    Drop();
    FStep = "CONNECT";
    uint32_t address = 0;
    if (!Lookup(address) || !OpenSocket(address))
        return false;

    FSession = ssh_new();
    if (!FSession)
        return Fail("cannot start an SSH session");
    std::string known = KnownHosts;
    if (known.empty())
        if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
            known = std::string(pw->pw_dir) + "/.ssh/known_hosts";
    const int port = std::atoi(Port.c_str());
    const bool no = false;
    ssh_options_set(FSession, SSH_OPTIONS_PROCESS_CONFIG, &no);
    ssh_options_set(FSession, SSH_OPTIONS_HOST, HostName.c_str());
    ssh_options_set(FSession, SSH_OPTIONS_PORT, &port);
    ssh_options_set(FSession, SSH_OPTIONS_USER, UserName.c_str());
    ssh_options_set(FSession, SSH_OPTIONS_KNOWNHOSTS, known.c_str());
    ssh_options_set(FSession, SSH_OPTIONS_GLOBAL_KNOWNHOSTS, known.c_str());
    ssh_options_set(FSession, SSH_OPTIONS_FD, &FSocket);
    ssh_set_blocking(FSession, 0);
    FStep = "SSH handshake";
    FSocketHandedOver = true;
    if (Drive([&] { return ssh_connect(FSession); }, SSH_AGAIN) != SSH_OK)
        return Fail("SSH handshake failed: " + SessionError());
    return CheckHostKey(known) && Login() && StartSftp();
}

bool TSftpCli::CheckHostKey(const std::string& KnownHostsFile)
{
    ssh_key key = nullptr;
    unsigned char* hash = nullptr;
    size_t len = 0;
    if (ssh_get_server_publickey(FSession, &key) != SSH_OK)
        return Fail("the server sent no usable host key");
    const int rc = ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &len);
    ssh_key_free(key);
    if (rc != 0 || len != 32) {
        ssh_clean_pubkey_hash(&hash);
        return Fail("cannot take the host key's fingerprint");
    }
    FServerFingerprint = SshFingerprint(hash);
    ssh_clean_pubkey_hash(&hash);
    const std::string offered = "fhostkey=" + FServerFingerprint;
    if (!HostKey.empty()) {
        if (PinnedFingerprint(HostKey) == FServerFingerprint)
            return true;
        return Fail("host key has changed: the server offers " + offered + ", not the pinned " +
                    PinnedFingerprint(HostKey));
    }
    switch (ssh_session_is_known_server(FSession)) {
    case SSH_KNOWN_HOSTS_OK: return true;
    case SSH_KNOWN_HOSTS_CHANGED:
    case SSH_KNOWN_HOSTS_OTHER:
        return Fail("host key has changed: " + KnownHostsFile + " holds another key for " + HostName +
                    "; the server offers " + offered);
    case SSH_KNOWN_HOSTS_ERROR:
        return Fail("cannot check the host key against " + KnownHostsFile + ": " + SessionError());
    default: return Fail("unknown host key " + offered + " (not in " + KnownHostsFile + ")");
    }
}

bool TSftpCli::Login()
{
    FStep = "LOGIN";
    std::string tried;
    const auto note = [&tried](const std::string& Why) { tried += (tried.empty() ? "" : ", ") + Why; };
    // One way in: its verdict when it ends the login, none when the server
    // refused it (noted as Refused).
    const auto attempt = [&](const auto& Call, const std::string& Refused) -> std::optional<bool> {
        const int rc = Drive(Call, SSH_AUTH_AGAIN);
        if (rc == SSH_AUTH_SUCCESS)
            return true;
        if (!FSession)
            return false;
        if (rc == SSH_AUTH_ERROR)
            return Fail("login failed: " + SessionError());
        note(Refused);
        return std::nullopt;
    };
    if (!PassWord.empty())
        if (const auto done = attempt([&] { return ssh_userauth_password(FSession, nullptr, PassWord.c_str()); },
                                      "password refused"))
            return *done;
    if (!KeyFile.empty()) {
        ssh_key key = nullptr;
        const int read = ImportKey(key);
        if (!FSession) {
            ssh_key_free(key);
            return false;
        }
        if (read == SSH_EOF)
            note("key file " + KeyFile + " not found");
        else if (read != SSH_OK)
            note("key file " + KeyFile + " unreadable (wrong passphrase, or not a private key)");
        else {
            const auto done =
                attempt([&] { return ssh_userauth_publickey(FSession, nullptr, key); }, "key " + KeyFile + " refused");
            ssh_key_free(key);
            if (done)
                return *done;
        }
    }
    if (tried.empty())
        tried = "no password or key file set";
    return Fail("login failed for " + UserName + " (" + tried + ")");
}

int TSftpCli::ImportKey(ssh_key& Key)
{
    int result = SSH_ERROR;
    FKeyDone = false;
    std::thread worker([this, &Key, &result, file = KeyFile, pass = PassWord] {
        result = ssh_pki_import_privkey_file(file.c_str(), pass.empty() ? nullptr : pass.c_str(), nullptr, nullptr, &Key);
        PostMessage(FWindow, WM_SFTP_KEY, 0, 0);
    });
    bool waiting = true;
    while (waiting && !FKeyDone)
        waiting = WaitSocket(false, false);
    worker.join();
    RemovePostedMessages(FWindow, WM_SFTP_KEY, 0);
    return result;
}

bool TSftpCli::StartSftp()
{
    FStep = "SFTP start";
    FChannel = ssh_channel_new(FSession);
    if (!FChannel)
        return Fail("cannot open a channel: " + SessionError());
    if (Drive([&] { return ssh_channel_open_session(FChannel); }, SSH_AGAIN) != SSH_OK)
        return FSession ? Fail("the server refused a session channel: " + SessionError()) : false;
    if (Drive([&] { return ssh_channel_request_subsystem(FChannel, "sftp"); }, SSH_AGAIN) != SSH_OK)
        return FSession ? Fail("the server has no SFTP subsystem: " + SessionError()) : false;
    std::string init;
    PutU32(init, 5);
    init += char(SSH_FXP_INIT);
    PutU32(init, 3);
    FOut += init;
    for (;;) {
        bool progress = false;
        FNotified = false;
        if (!Exchange(progress))
            return false;
        if (FIn.size() - FInPos >= 5) {
            TReader r{FIn, FInPos};
            const uint32_t len = r.U32();
            if (FIn.size() - FInPos >= 4 + size_t(len))
                break;
        }
        if (!progress && !WaitSession())
            return false;
    }
    TReader r{FIn, FInPos};
    const uint32_t len = r.U32();
    const std::string packet = FIn.substr(FInPos + 4, len);
    FInPos += 4 + size_t(len);
    TReader p{packet};
    if (packet.empty() || uint8_t(packet[0]) != SSH_FXP_VERSION)
        return Fail("the server's SFTP subsystem did not answer with its version");
    p.Pos = 1;
    p.U32();
    while (!p.Bad && p.Pos < packet.size()) {
        const std::string name = p.Str(), data = p.Str();
        if (name == "posix-rename@openssh.com")
            FPosixRename = true;
    }
    FStep.clear();
    return true;
}

bool TSftpCli::Exchange(bool& Progress)
{
    while (FOutPos < FOut.size()) {
        const int n = ssh_channel_write(FChannel, FOut.data() + FOutPos,
                                        static_cast<uint32_t>(std::min<size_t>(FOut.size() - FOutPos, 1 << 20)));
        if (n == SSH_AGAIN || n == 0)
            break;
        if (n < 0)
            return Fail(FStep + ": " + SessionError());
        FOutPos += size_t(n);
        Progress = true;
    }
    if (FOutPos == FOut.size()) {
        FOut.clear();
        FOutPos = 0;
    }
    if (FInPos > 0 && FInPos * 2 > FIn.size()) {
        FIn.erase(0, FInPos);
        FInPos = 0;
    }
    char buf[64 * 1024];
    for (;;) {
        const int n = ssh_channel_read_nonblocking(FChannel, buf, sizeof buf, 0);
        if (n > 0) {
            FIn.append(buf, size_t(n));
            Progress = true;
            continue;
        }
        if (n == SSH_EOF || (n == 0 && ssh_channel_is_eof(FChannel)))
            return Fail(FStep + ": the server ended the SFTP session");
        if (n < 0 && n != SSH_AGAIN)
            return Fail(FStep + ": " + SessionError());
        break;
    }
    return true;
}

uint32_t TSftpCli::Queue(uint8_t Type, const std::string& Body)
{
    const uint32_t id = FNextId++;
    PutU32(FOut, uint32_t(Body.size() + 5));
    FOut += char(Type);
    PutU32(FOut, id);
    FOut += Body;
    return id;
}

bool TSftpCli::TakeReply(TReply& Reply)
{
    if (FIn.size() - FInPos < 4)
        return false;
    TReader r{FIn, FInPos};
    const uint32_t len = r.U32();
    if (FIn.size() - FInPos - 4 < len)
        return false;
    if (len < 5) {
        Fail(FStep + ": the server sent a broken SFTP reply");
        return false;
    }
    Reply.Type = uint8_t(FIn[FInPos + 4]);
    r.Pos = FInPos + 5;
    Reply.Id = r.U32();
    Reply.Data.assign(FIn, FInPos + 9, len - 5);
    FInPos += 4 + size_t(len);
    return true;
}

bool TSftpCli::Request(uint8_t Type, const std::string& Body, TReply& Reply)
{
    if (!FChannel)
        return Fail(FStep + ": not connected");
    const uint32_t id = Queue(Type, Body);
    for (;;) {
        bool progress = false;
        FNotified = false;
        if (!Exchange(progress))
            return false;
        while (TakeReply(Reply))
            if (Reply.Id == id)
                return true;
        if (!FChannel)
            return false;
        if (!progress && !WaitSession())
            return false;
    }
}

bool TSftpCli::StatusOk(const TReply& Reply, const std::string& What)
{
    if (Reply.Type != SSH_FXP_STATUS)
        return Refuse(What + ": unexpected SFTP reply " + std::to_string(Reply.Type));
    TReader r{Reply.Data};
    const uint32_t code = r.U32();
    if (code == 0)
        return true;
    const std::string text = r.Str();
    return Refuse(What + ": " + (text.empty() ? StatusName(code) : text));
}

bool TSftpCli::Cwd(const std::string& Dir)
{
    FErrorText.clear();
    FStep = "CWD";
    std::string dir = Dir;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    std::string body;
    PutStr(body, dir);
    TReply reply;
    if (!Request(SSH_FXP_STAT, body, reply))
        return false;
    if (reply.Type != SSH_FXP_ATTRS)
        return StatusOk(reply, Dir) && Refuse(Dir + ": no attributes");
    TReader r{reply.Data};
    const uint32_t flags = r.U32();
    if (flags & SSH_FILEXFER_ATTR_SIZE) {
        r.U32();
        r.U32();
    }
    if (flags & SSH_FILEXFER_ATTR_UIDGID) {
        r.U32();
        r.U32();
    }
    if ((flags & SSH_FILEXFER_ATTR_PERMISSIONS) && (r.U32() & 0170000) != 0040000)
        return Refuse(Dir + ": Not a directory");
    FDir = dir.empty() ? "" : dir + "/";
    return true;
}

bool TSftpCli::CloseHandle(const std::string& Handle)
{
    std::string body;
    PutStr(body, Handle);
    TReply reply;
    return Request(SSH_FXP_CLOSE, body, reply) && StatusOk(reply, FStep);
}

bool TSftpCli::Put(const std::string& LocalFile, const std::string& RemoteName)
{
    FErrorText.clear();
    FStep = "PUT " + RemoteName;
    TFd file(::open(LocalFile.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.Fd < 0)
        return Refuse("cannot read " + LocalFile + ": " + std::strerror(errno));
    std::string body;
    PutStr(body, FDir + RemoteName);
    PutU32(body, SSH_FXF_WRITE | SSH_FXF_CREAT | SSH_FXF_TRUNC);
    PutU32(body, SSH_FILEXFER_ATTR_PERMISSIONS);
    PutU32(body, 0644);
    TReply reply;
    if (!Request(SSH_FXP_OPEN, body, reply))
        return false;
    if (reply.Type != SSH_FXP_HANDLE)
        return StatusOk(reply, FStep) && Refuse(FStep + ": no handle");
    const std::string handle = TReader{reply.Data}.Str();

    uint64_t offset = 0;
    int inFlight = 0;
    bool eof = false;
    std::string failure;  // the first refused write or local read error
    std::string chunk(WriteChunk, '\0');
    while (!eof || inFlight > 0) {
        while (!eof && inFlight < WritesInFlight) {
            const ssize_t n = ::read(file.Fd, chunk.data(), chunk.size());
            if (n < 0) {
                failure = "cannot read " + LocalFile + ": " + std::strerror(errno);
                eof = true;
                break;
            }
            if (n == 0) {
                eof = true;
                break;
            }
            body.clear();
            PutStr(body, handle);
            PutU64(body, offset);
            PutU32(body, uint32_t(n));
            body.append(chunk.data(), size_t(n));
            Queue(SSH_FXP_WRITE, body);
            offset += uint64_t(n);
            ++inFlight;
        }
        bool progress = false;
        FNotified = false;
        if (!Exchange(progress))
            return false;
        while (TakeReply(reply)) {
            --inFlight;
            if (failure.empty() && !StatusOk(reply, FStep)) {
                failure = FErrorText;
                eof = true;
            }
        }
        if (!FChannel)
            return false;
        if (!progress && inFlight > 0 && !WaitSession())
            return false;
    }
    if (!CloseHandle(handle))
        return false;
    FErrorText.clear();
    return failure.empty() || Refuse(failure);
}

bool TSftpCli::Rename(const std::string& From, const std::string& To)
{
    FErrorText.clear();
    FStep = "RENAME " + From;
    std::string body;
    TReply reply;
    if (FPosixRename) {
        PutStr(body, "posix-rename@openssh.com");
        PutStr(body, FDir + From);
        PutStr(body, FDir + To);
        return Request(SSH_FXP_EXTENDED, body, reply) && StatusOk(reply, FStep);
    }
    PutStr(body, FDir + To);
    if (!Request(SSH_FXP_REMOVE, body, reply))
        return false;
    body.clear();
    PutStr(body, FDir + From);
    PutStr(body, FDir + To);
    return Request(SSH_FXP_RENAME, body, reply) && StatusOk(reply, FStep);
}

void TSftpCli::Quit() { Drop(); }

void TSftpCli::Drop()
{
    if (FSocket >= 0)
        UnwatchDescriptor(FSocket);
    if (FChannel) {
        ssh_channel_free(FChannel);
        FChannel = nullptr;
    }
    if (FSession) {
        ssh_free(FSession);
        FSession = nullptr;
    }
    // Once connecting began, the session owns the socket and has closed it.
    if (FSocket >= 0 && !FSocketHandedOver)
        ::close(FSocket);
    if (FSocket >= 0)
        RemovePostedMessages(FWindow, WM_SFTP_SOCKET, static_cast<WPARAM>(FSocket));
    FSocket = -1;
    FSocketHandedOver = false;
    FOut.clear();
    FIn.clear();
    FOutPos = FInPos = 0;
    FDir.clear();
    FPosixRename = false;
}
