#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

#include "TestSupport.h"
#include "ftp/SftpCli.h"
#include "ftp/SshdPeer.h"
#include "net/NetTestUtil.h"

namespace {

void Login(TSftpCli& C, const TSshdServer& S, const std::string& Pass, const std::string& Key, const std::string& Pin,
           const std::string& KnownHosts)
{
    C.HostName = "127.0.0.1";
    C.Port = std::to_string(S.Port);
    C.UserName = TSshdServer::User;
    C.PassWord = Pass;
    C.KeyFile = Key;
    C.HostKey = Pin;
    C.KnownHosts = KnownHosts;
}

std::string Quoted(const std::string& Text) { return std::regex_replace(Text, std::regex(R"([.+*?^$()\[\]{}|\\/])"), R"(\$&)"); }

} // namespace

TEST(Sftp, LoginsHostKeysAndUploads)
{
    TTempDir dir;
    TSshdServer sshd(dir);
    if (!sshd.SkipReason.empty())
        GTEST_SKIP() << sshd.SkipReason;
    const std::string known = dir / "known_hosts", other = dir / "other_hosts", empty = dir / "empty_hosts";
    const std::string hostField = "[127.0.0.1]:" + std::to_string(sshd.Port) + " ";
    Spit(known, hostField + sshd.HostKeyLine);
    Spit(other, hostField + Slurp(sshd.Ed25519Key + ".pub"));  // another ed25519 key
    Spit(empty, "");
    const std::string fp = sshd.Fingerprint, fpRe = Quoted(fp);
    struct Case {
        const char* Name;
        std::string Pass, Key, Pin, Known;
        std::string Error;  // empty: the login works
    };
    const Case cases[] = {
        {"password, pinned key", TSshdServer::Password, "", fp, empty, ""},
        {"ed25519 key, known_hosts", "", sshd.Ed25519Key, "", known, ""},
        {"pin as ssh-keygen -l prints it", "", sshd.Ed25519Key, "256 " + fp + " test (ED25519)", empty, ""},
        {"rsa key, its passphrase after a refused password", TSshdServer::RsaPassphrase, sshd.RsaKey, fp, empty, ""},
        {"wrong password", "wrong", "", fp, empty, "login failed for quorrelane-sftp \\(password refused\\)"},
        {"wrong passphrase", "wrong", sshd.RsaKey, fp, empty, "login failed for .*password refused, key file .* unreadable.*"},
        {"unknown host key", TSshdServer::Password, "", "", empty, "unknown host key fhostkey=" + fpRe + " .*"},
        {"changed pinned key", TSshdServer::Password, "", "SHA256:AAAA", empty,
         "host key has changed: the server offers fhostkey=" + fpRe + ", not the pinned SHA256:AAAA"},
        {"changed known_hosts key", TSshdServer::Password, "", "", other,
         "host key has changed: .*other_hosts holds another key .* fhostkey=" + fpRe},
    };
    Spit(dir / "local.bin", std::string(300000, 'x') + "end");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TSftpCli sftp(nullptr);
        Login(sftp, sshd, c.Pass, c.Key, c.Pin, c.Known);
        const bool ok = sftp.Connect();
        EXPECT_EQ(sftp.ServerFingerprint(), fp);
        if (!c.Error.empty()) {
            EXPECT_FALSE(ok);
            EXPECT_FALSE(sftp.Connected());
            EXPECT_TRUE(std::regex_match(sftp.ErrorText(), std::regex(c.Error))) << sftp.ErrorText();
            continue;
        }
        ASSERT_TRUE(ok) << sftp.ErrorText();
        EXPECT_TRUE(sftp.PosixRename());
        // A missing directory is refused, the session goes on.
        EXPECT_FALSE(sftp.Cwd("missing"));
        EXPECT_EQ(sftp.ErrorText(), "missing: No such file");
        ASSERT_TRUE(sftp.Connected());
        std::filesystem::create_directories(sshd.Root + "/pub");
        std::filesystem::permissions(sshd.Root + "/pub", std::filesystem::perms::all);
        ASSERT_TRUE(sftp.Cwd("pub/")) << sftp.ErrorText();
        // Stored under a temporary name, renamed over the older file.
        Spit(sshd.Root + "/pub/f.bin", "old");
        ASSERT_TRUE(sftp.Put(dir / "local.bin", "f.bin.part")) << sftp.ErrorText();
        ASSERT_TRUE(sftp.Rename("f.bin.part", "f.bin")) << sftp.ErrorText();
        EXPECT_EQ(Slurp(sshd.Root + "/pub/f.bin"), Slurp(dir / "local.bin"));
        EXPECT_FALSE(std::filesystem::exists(sshd.Root + "/pub/f.bin.part"));
        EXPECT_FALSE(sftp.Put(dir / "none.bin", "x"));
        EXPECT_FALSE(sftp.Put(dir / "local.bin", "nodir/x"));
        EXPECT_EQ(sftp.ErrorText(), "PUT nodir/x: No such file");
        sftp.Quit();
        EXPECT_FALSE(sftp.Connected());
    }
}

TEST(Sftp, SilentDownAndKilledServers)
{
    TTempDir dir;
    TSshdServer sshd(dir);
    if (!sshd.SkipReason.empty())
        GTEST_SKIP() << sshd.SkipReason;
    // A server that accepts and never speaks: the step gives up while the
    // queue keeps being served.
    TRawListener silent;
    static int ticks = 0;
    HWND wnd = CreateWindowHandle([](HWND W, UINT M, WPARAM P, LPARAM L) -> LRESULT {
        if (M == WM_TIMER)
            ++ticks;
        return DefWindowProc(W, M, P, L);
    });
    SetTimer(wnd, 1, 50);
    TSftpCli sftp(nullptr);
    Login(sftp, sshd, TSshdServer::Password, "", sshd.Fingerprint, "");
    sftp.Port = std::to_string(silent.Port);
    sftp.Timeout = 1;
    EXPECT_FALSE(sftp.Connect());
    EXPECT_EQ(sftp.ErrorText(), "timed out after 1 s in SSH handshake");
    EXPECT_GE(ticks, 5);
    KillTimer(wnd, 1);
    DestroyWindow(wnd);

    sftp.Port = std::to_string(UnusedPort());
    EXPECT_FALSE(sftp.Connect());
    EXPECT_EQ(sftp.ErrorText(), "Connection refused");

    // The session killed while a large file goes up.
    sftp.Port = std::to_string(sshd.Port);
    sftp.Timeout = 15;
    Spit(dir / "big.bin", std::string(256u << 20, 'b'));
    ASSERT_TRUE(sftp.Connect()) << sftp.ErrorText();
    std::atomic<bool> done{false};
    std::thread killer([&] {
        std::error_code ec;
        while (!done && std::filesystem::file_size(sshd.Root + "/big.bin", ec) < (4u << 20))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        sshd.KillSessions();
    });
    EXPECT_FALSE(sftp.Put(dir / "big.bin", "big.bin"));
    done = true;
    killer.join();
    EXPECT_TRUE(std::regex_match(sftp.ErrorText(), std::regex("PUT big\\.bin: .*"))) << sftp.ErrorText();
    EXPECT_FALSE(sftp.Connected());
}

TEST(Sftp, FingerprintAndHostText)
{
    unsigned char digest[32];
    for (int i = 0; i < 32; ++i)
        digest[i] = static_cast<unsigned char>(i * 7);
    EXPECT_EQ(SshFingerprint(digest), "SHA256:AAcOFRwjKjE4P0ZNVFtiaXB3foWMk5qhqK+2vcTL0tk");
    struct Case {
        const char* Text;
        const char* Host;
        const char* Port;
    } cases[] = {{"example.org", "example.org", "22"}, {"127.0.0.1:2222", "127.0.0.1", "2222"},
                 {"host:", "host", "22"}, {"fe80::1", "fe80::1", "22"}};
    for (const Case& c : cases) {
        std::string host, port;
        SplitSshHost(c.Text, host, port);
        EXPECT_EQ(host, c.Host) << c.Text;
        EXPECT_EQ(port, c.Port) << c.Text;
    }
}
