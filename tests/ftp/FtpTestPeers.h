// Peers for the FTP client tests: a scripted FTP server on 127.0.0.1 whose
// replies the test controls, and real servers (pyftpdlib, vsftpd) started
// in temporary directories. The scripted server works from its own hidden
// window, so any message pump drives it, including the client's blocking
// waits.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/wait.h>

#include "TestSupport.h"
#include "ftp/FtpCli.h"
#include "net/LoopPeers.h"
#include "platform/Windows.h"

class TScriptedFtpServer {
public:
    // Lines the server received, CR LF removed.
    std::vector<std::string> Lines;
    // Sent on accept; empty sends nothing.
    std::string Greeting = "220 scripted server ready\r\n";
    // Called for each command line; the default answers from Replies and
    // runs the standard transfer script.
    std::function<void(const std::string& Line)> OnLine;
    // Reply text per command word, for commands without a special rule.
    std::map<std::string, std::string> Replies = {
        {"USER", "331 Password required"}, {"PASS", "230 Logged in"}, {"CWD", "250 CWD ok"},
        {"TYPE", "200 Type set"},          {"QUIT", "221 Bye"},       {"SYST", "215 UNIX Type: L8"},
        {"PWD", "257 \"/\" is current"},   {"NOOP", "200 ok"}};
    // What RETR/LIST/NLST send on the data connection.
    std::string DownloadData;
    // What the client sent on the data connection, and whether it closed.
    std::string DataIn;
    bool DataEof = false;
    bool ControlClosed = false;
    bool Accepted = false;
    int PassiveConnections = 0;
    // Called when the client has closed the data connection.
    std::function<void()> OnDataClosed;
    // Port of the last PORT command, and its address text.
    int ActivePort = 0;
    std::string ActiveAddress;
    // The address written into 227 replies.
    std::string PasvAddress = "127,0,0,1";
    // When set, the whole reply to PASV for the listening port.
    std::function<std::string(int Port)> PasvReply;

    TScriptedFtpServer()
    {
        FWnd = CreateWindowHandle(&WndProc, nullptr, reinterpret_cast<LONG_PTR>(this));
        FListen = BindLoopback(Port, 4);
        ::fcntl(FListen, F_SETFL, O_NONBLOCK);
        Watch(FListen, EPOLLIN);
    }
    ~TScriptedFtpServer()
    {
        for (int* fd : {&FControl, &FData, &FPasvListen, &FListen})
            CloseFd(*fd);
        DestroyWindow(FWnd);
    }
    TScriptedFtpServer(const TScriptedFtpServer&) = delete;
    TScriptedFtpServer& operator=(const TScriptedFtpServer&) = delete;

    int Port = 0;

    void SendRaw(const std::string& Data)
    {
        if (FControl >= 0)
            WriteAll(FControl, Data);
    }
    void Reply(const std::string& Text) { SendRaw(Text + "\r\n"); }
    void CloseControl() { CloseFd(FControl); }

    // Active mode: connects to the port of the last PORT command.
    void ConnectData()
    {
        CloseFd(FData);
        FData = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = LoopbackAddress(ActivePort);
        ::connect(FData, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::fcntl(FData, F_SETFL, O_NONBLOCK);
        DataEof = false;
        Watch(FData, EPOLLIN | EPOLLRDHUP);
    }
    // Passive mode: a listening socket; the client's connection is taken
    // when it arrives.
    int ListenPassive()
    {
        CloseFd(FPasvListen);
        int port = 0;
        FPasvListen = BindLoopback(port, 1);
        ::fcntl(FPasvListen, F_SETFL, O_NONBLOCK);
        Watch(FPasvListen, EPOLLIN);
        return port;
    }
    bool DataConnected() const { return FData >= 0; }
    void SendData(const std::string& Data)
    {
        if (FData >= 0)
            WriteAll(FData, Data);
    }
    void CloseData() { CloseFd(FData); }

    // The standard answers: PORT/PASV, STOR/APPE (150, the data, then 226
    // when the client closes), RETR/LIST/NLST (150, the data, close, 226),
    // QUIT (221 and close), else Replies or "500 Unknown".
    void Standard(const std::string& Line)
    {
        std::string verb = Line.substr(0, Line.find(' '));
        std::string arg = Line.size() > verb.size() ? Line.substr(verb.size() + 1) : std::string();
        if (verb == "PORT") {
            int a[6] = {};
            std::sscanf(arg.c_str(), "%d,%d,%d,%d,%d,%d", &a[0], &a[1], &a[2], &a[3], &a[4], &a[5]);
            ActivePort = a[4] * 256 + a[5];
            ActiveAddress = std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
                            std::to_string(a[3]);
            FPassive = false;
            Reply("200 PORT ok");
        } else if (verb == "PASV") {
            int p = ListenPassive();
            FPassive = true;
            Reply(PasvReply ? PasvReply(p)
                            : "227 Entering Passive Mode (" + PasvAddress + "," + std::to_string(p / 256) + "," +
                                  std::to_string(p % 256) + ")");
        } else if (verb == "STOR" || verb == "APPE") {
            DataIn.clear();
            if (!FPassive)
                ConnectData();
            Reply("150 Opening data connection");
            OnDataClosed = [this] { Reply("226 Transfer complete"); };
        } else if (verb == "RETR" || verb == "LIST" || verb == "NLST") {
            if (!FPassive)
                ConnectData();
            Reply("150 Opening data connection");
            FPendingDownload = true;
            StartPendingDownload();
        } else if (verb == "QUIT") {
            Reply(Replies["QUIT"]);
            CloseControl();
        } else if (Replies.count(verb)) {
            Reply(Replies[verb]);
        } else {
            Reply("500 Unknown command");
        }
    }

private:
    static LRESULT WndProc(HWND Wnd, UINT Msg, WPARAM wParam, LPARAM lParam)
    {
        auto* self = reinterpret_cast<TScriptedFtpServer*>(GetWindowLongPtr(Wnd, GWL_USERDATA));
        if (Msg == WM_USER && self) {
            self->Ready(static_cast<int>(wParam), static_cast<uint32_t>(lParam));
            return 0;
        }
        return DefWindowProc(Wnd, Msg, wParam, lParam);
    }
    void Watch(int Fd, uint32_t Events)
    {
        HWND wnd = FWnd;
        WatchDescriptor(Fd, Events, [wnd, Fd](uint32_t Ready) {
            if (Ready & (EPOLLHUP | EPOLLERR))
                UnwatchDescriptor(Fd);
            else
                ChangeDescriptor(Fd, 0);
            PostMessage(wnd, WM_USER, static_cast<WPARAM>(Fd), static_cast<LPARAM>(Ready));
        });
        FEvents[Fd] = Events;
    }
    void Rearm(int Fd, uint32_t Ready)
    {
        if (!(Ready & (EPOLLHUP | EPOLLERR)))
            ChangeDescriptor(Fd, FEvents[Fd]);
    }
    void CloseFd(int& Fd)
    {
        if (Fd < 0)
            return;
        UnwatchDescriptor(Fd);
        FEvents.erase(Fd);
        ::close(Fd);
        Fd = -1;
    }
    static void WriteAll(int Fd, const std::string& Data)
    {
        size_t off = 0;
        while (off < Data.size()) {
            ssize_t n = ::send(Fd, Data.data() + off, Data.size() - off, MSG_NOSIGNAL);
            if (n > 0)
                off += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN)
                return;
            else
                WaitMessageTimeout(1);  // loopback peer's buffer is full
        }
    }
    void StartPendingDownload()
    {
        if (!FPendingDownload || FData < 0)
            return;
        FPendingDownload = false;
        SendData(DownloadData);
        CloseData();
        Reply("226 Transfer complete");
    }
    void Ready(int Fd, uint32_t Events)
    {
        if (Fd == FListen) {
            int c = ::accept4(FListen, nullptr, nullptr, SOCK_NONBLOCK);
            Rearm(Fd, Events);
            if (c < 0)
                return;
            CloseFd(FControl);
            FControl = c;
            Accepted = true;
            ControlClosed = false;
            Watch(FControl, EPOLLIN | EPOLLRDHUP);
            SendRaw(Greeting);
        } else if (Fd == FPasvListen) {
            int c = ::accept4(FPasvListen, nullptr, nullptr, SOCK_NONBLOCK);
            if (c < 0) {
                Rearm(Fd, Events);
                return;
            }
            CloseFd(FPasvListen);
            CloseFd(FData);
            FData = c;
            ++PassiveConnections;
            DataEof = false;
            Watch(FData, EPOLLIN | EPOLLRDHUP);
            StartPendingDownload();
        } else if (Fd == FControl) {
            char buf[4096];
            bool closed = false;
            for (;;) {
                ssize_t n = ::recv(FControl, buf, sizeof buf, 0);
                if (n > 0) {
                    FIn.append(buf, static_cast<size_t>(n));
                    continue;
                }
                closed = n == 0 || (errno != EAGAIN && errno != EINTR);
                break;
            }
            size_t e;
            while ((e = FIn.find("\r\n")) != std::string::npos) {
                std::string line = FIn.substr(0, e);
                FIn.erase(0, e + 2);
                Lines.push_back(line);
                if (OnLine)
                    OnLine(line);
                else
                    Standard(line);
            }
            if (closed) {
                ControlClosed = true;
                CloseFd(FControl);
            } else if (FControl == Fd) {
                Rearm(Fd, Events);
            }
        } else if (Fd == FData) {
            char buf[65536];
            for (;;) {
                ssize_t n = ::recv(FData, buf, sizeof buf, 0);
                if (n > 0) {
                    DataIn.append(buf, static_cast<size_t>(n));
                    continue;
                }
                if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    DataEof = true;
                    CloseFd(FData);
                    if (OnDataClosed) {
                        auto f = OnDataClosed;
                        OnDataClosed = nullptr;
                        f();
                    }
                    return;
                }
                break;
            }
            Rearm(Fd, Events);
        }
    }

    HWND FWnd = nullptr;
    int FListen = -1, FControl = -1, FData = -1, FPasvListen = -1;
    std::map<int, uint32_t> FEvents;
    std::string FIn;
    bool FPassive = false;
    bool FPendingDownload = false;
};

// A client wired for tests: records what it displays, its request-done
// events and its errors.
struct TFtpRecorder {
    std::vector<std::string> Display;
    std::vector<std::string> Files;
    std::vector<std::pair<TFtpRequest, WORD>> Done;
    void Attach(TCustomFtpCli& Ftp)
    {
        Ftp.OnDisplay = [this](TObject*, std::string& M) { Display.push_back(M); };
        Ftp.OnDisplayFile = [this](TObject*, std::string& M) { Files.push_back(M); };
        Ftp.OnRequestDone = [this](TObject*, TFtpRequest Rq, WORD E) { Done.emplace_back(Rq, E); };
    }
    bool Shown(const std::string& Text) const
    {
        for (const auto& d : Display)
            if (d == Text)
                return true;
        return false;
    }
};

// A real FTP server on 127.0.0.1, started in a temporary directory whose
// "root" folder it serves. SkipReason is set when it cannot run here.
class TRealFtpServer {
public:
    enum TKind { Pyftpdlib, Vsftpd };

    // With Tls the server requires explicit TLS on the control and data
    // connections, with a self-signed certificate made in Dir.
    TRealFtpServer(TKind Kind, const TTempDir& Dir, bool Tls = false) : Root(Dir / "root")
    {
        std::filesystem::create_directories(Root);
        if (Tls && !MakeCertificate(Dir))
            return;
        if (Kind == Pyftpdlib)
            StartPyftpdlib(Dir);
        else
            StartVsftpd(Dir);
    }
    ~TRealFtpServer() { StopProcess(FPid, SIGTERM); }
    TRealFtpServer(const TRealFtpServer&) = delete;
    TRealFtpServer& operator=(const TRealFtpServer&) = delete;

    std::string Root;  // the served directory, no closing '/'
    int Port = 0;
    std::string User, Pass;
    // The path the server reports for a name in its root.
    std::string RemotePath(const std::string& Name) const { return FRemoteRoot + "/" + Name; }
    std::string SkipReason;
    // The TLS certificate and key files, and the certificate's SHA-256
    // fingerprint as "AB:CD:..".
    std::string CertFile, KeyFile, Fingerprint;

private:
    bool MakeCertificate(const TTempDir& Dir)
    {
        CertFile = Dir / "cert.pem";
        KeyFile = Dir / "key.pem";
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = SpawnProcess({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                                  KeyFile, "-out", CertFile, "-days", "2", "-subj", "/CN=localhost", "-addext",
                                  "subjectAltName=DNS:localhost,IP:127.0.0.1"},
                                 fa);
        posix_spawn_file_actions_destroy(&fa);
        int status = -1;
        if (pid > 0)
            waitpid(pid, &status, 0);
        Fingerprint = CertificateFingerprint(CertFile);
        if (status != 0 || Fingerprint.empty()) {
            SkipReason = "openssl could not make a certificate";
            return false;
        }
        return true;
    }
    static std::string CertificateFingerprint(const std::string& File)
    {
        FILE* f = std::fopen(File.c_str(), "r");
        if (!f)
            return std::string();
        X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
        std::fclose(f);
        if (!cert)
            return std::string();
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned len = 0;
        X509_digest(cert, EVP_sha256(), md, &len);
        X509_free(cert);
        std::string text;
        char hex[4];
        for (unsigned i = 0; i < len; ++i) {
            std::snprintf(hex, sizeof hex, "%02X", md[i]);
            text += (i ? ":" : "") + std::string(hex);
        }
        return text;
    }

    void StartPyftpdlib(const TTempDir& Dir)
    {
        if (::access("/usr/bin/python3", X_OK) != 0) {
            SkipReason = "/usr/bin/python3 is missing";
            return;
        }
        User = "user";
        Pass = "secret";
        FRemoteRoot = "";
        Spit(Dir / "server.py",
             "import logging, sys\n"
             "from pyftpdlib.authorizers import DummyAuthorizer\n"
             "from pyftpdlib.handlers import FTPHandler, TLS_FTPHandler\n"
             "from pyftpdlib.servers import FTPServer\n"
             "logging.basicConfig(level=logging.ERROR)\n"
             "a = DummyAuthorizer()\n"
             "a.add_user(sys.argv[2], sys.argv[3], sys.argv[1], perm='elradfmwMT')\n"
             "h = FTPHandler\n"
             "if len(sys.argv) > 5:\n"
             "    h = TLS_FTPHandler\n"
             "    h.certfile, h.keyfile = sys.argv[4], sys.argv[5]\n"
             "    h.tls_control_required = h.tls_data_required = True\n"
             "h.authorizer = a\n"
             "h.auth_failed_timeout = 0\n"
             "s = FTPServer(('127.0.0.1', 0), h)\n"
             "print(s.socket.getsockname()[1], flush=True)\n"
             "s.serve_forever()\n");
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, p[1], 1);
        std::vector<std::string> argv{"/usr/bin/python3", Dir / "server.py", Root, User, Pass};
        if (!CertFile.empty()) {
            argv.push_back(CertFile);
            argv.push_back(KeyFile);
        }
        FPid = SpawnProcess(argv, fa);
        posix_spawn_file_actions_destroy(&fa);
        ::close(p[1]);
        // The port is the first line; the server is listening by then.
        std::string out;
        char buf[64];
        ssize_t n;
        while (out.find('\n') == std::string::npos && (n = ::read(p[0], buf, sizeof buf)) > 0)
            out.append(buf, static_cast<size_t>(n));
        ::close(p[0]);
        Port = std::atoi(out.c_str());
        if (Port <= 0)
            SkipReason = "pyftpdlib did not start (python3-pyftpdlib missing?)";
    }

    void StartVsftpd(const TTempDir& Dir)
    {
        if (::geteuid() != 0) {
            SkipReason = "vsftpd must be started as root";
            return;
        }
        if (::access("/usr/sbin/vsftpd", X_OK) != 0) {
            SkipReason = "/usr/sbin/vsftpd is missing";
            return;
        }
        // Anonymous writable access, run as the launching user so that no
        // system account or chroot set-up is needed.
        User = "anonymous";
        Pass = "guest@";
        FRemoteRoot = Root;
        std::filesystem::create_directories(Dir / "empty");
        Port = UnusedPort();
        Spit(Dir / "vsftpd.conf", "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" +
                                      std::to_string(Port) +
                                      "\nbackground=NO\nrun_as_launching_user=YES\n"
                                      "anonymous_enable=YES\nlocal_enable=NO\nwrite_enable=YES\n"
                                      "anon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
                                      "anon_other_write_enable=YES\nanon_world_readable_only=NO\n"
                                      "no_anon_password=YES\nanon_root=" +
                                      Root +
                                      "\nanon_umask=022\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
                                      "secure_chroot_dir=" +
                                      Dir.Name() +
                                      "/empty\nconnect_from_port_20=NO\nxferlog_enable=NO\n"
                                      "dirmessage_enable=NO\nmax_clients=0\nmax_per_ip=0\n" +
                                      (CertFile.empty() ? std::string()
                                                        : "ssl_enable=YES\nrsa_cert_file=" + CertFile +
                                                              "\nrsa_private_key_file=" + KeyFile +
                                                              "\nallow_anon_ssl=YES\nforce_anon_logins_ssl=YES\n"
                                                              "force_anon_data_ssl=YES\nrequire_ssl_reuse=YES\n"
                                                              "ssl_ciphers=HIGH\n"));
        ::chmod((Dir / "vsftpd.conf").c_str(), 0600);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        FPid = SpawnProcess({"/usr/sbin/vsftpd", Dir / "vsftpd.conf"}, fa);
        posix_spawn_file_actions_destroy(&fa);
        // Ready once it accepts a connection.
        bool up = false;
        for (int i = 0; i < 200 && !up && FPid > 0; ++i) {
            int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a = LoopbackAddress(Port);
            up = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
            ::close(fd);
            if (!up && waitpid(FPid, nullptr, WNOHANG) == FPid) {
                FPid = -1;
                break;
            }
            if (!up)
                WaitMessageTimeout(25);
        }
        if (!up)
            SkipReason = "vsftpd did not start";
    }

    pid_t FPid = -1;
    std::string FRemoteRoot;
};
