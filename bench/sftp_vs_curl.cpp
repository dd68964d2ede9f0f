// TSftpCli against curl, both storing the same 50 MiB file on OpenSSH's
// sshd on 127.0.0.1 (password login, host key checked by fingerprint),
// session set-up included. Prints MB/s of each (best of the runs) and the
// ratio, and the longest pause of the message loop (which serves HTTP)
// during our upload and while a silent server is waited for.
//
//   bench_sftp_vs_curl [runs]   (default 3; needs root, sshd and curl)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "ftp/SftpCli.h"
#include "ftp/SshdPeer.h"

namespace {

using TClock = std::chrono::steady_clock;
using bench::RunCurl;
constexpr auto MBps = bench::TransferMBps;

// The longest gap between the ticks of a 5 ms timer while it lives.
class TLoopWatch {
public:
    TLoopWatch()
    {
        FWnd = CreateWindowHandle(&Proc, nullptr, reinterpret_cast<LONG_PTR>(this));
        FLast = TClock::now();
        SetTimer(FWnd, 1, 5);
    }
    ~TLoopWatch() { DestroyWindow(FWnd); }
    double MaxGapMs() const { return FMax; }

private:
    static LRESULT Proc(HWND W, UINT M, WPARAM P, LPARAM L)
    {
        auto* self = reinterpret_cast<TLoopWatch*>(GetWindowLongPtr(W, GWL_USERDATA));
        if (self && M == WM_TIMER) {
            const auto now = TClock::now();
            self->FMax = std::max(self->FMax, std::chrono::duration<double, std::milli>(now - self->FLast).count());
            self->FLast = now;
        }
        return DefWindowProc(W, M, P, L);
    }
    HWND FWnd = nullptr;
    TClock::time_point FLast;
    double FMax = 0;
};

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    TTempDir dir, serverDir;
    TSshdServer sshd(serverDir);
    if (!sshd.SkipReason.empty()) {
        std::printf("skipped: %s\n", sshd.SkipReason.c_str());
        return 0;
    }
    const std::string content = bench::TransferContent();
    Spit(dir / "src.bin", content);

    const std::string url = "sftp://127.0.0.1:" + std::to_string(sshd.Port) + sshd.Root + "/curl.bin";
    const std::string user = std::string(TSshdServer::User) + ":" + TSshdServer::Password;
    double best[2] = {}, gap = 0;
    bool allOk = true;
    for (int run = 0; run < runs; ++run) {
        TSftpCli sftp(nullptr);
        sftp.HostName = "127.0.0.1";
        sftp.Port = std::to_string(sshd.Port);
        sftp.UserName = TSshdServer::User;
        sftp.PassWord = TSshdServer::Password;
        sftp.HostKey = sshd.Fingerprint;
        TLoopWatch watch;
        const auto t0 = TClock::now();
        const bool ok = sftp.Connect() && sftp.Put(dir / "src.bin", "ours.bin");
        sftp.Quit();
        gap = std::max(gap, watch.MaxGapMs());
        const double ours = ok ? std::chrono::duration<double>(TClock::now() - t0).count() : 0;
        if (!ok)
            std::printf("SFTP upload failed: %s\n", sftp.ErrorText().c_str());
        const double theirs = RunCurl({"-u", user, "--hostpubsha256", sshd.Fingerprint.substr(7), "-T",
                                       dir / "src.bin", url});
        allOk = allOk && ok && theirs > 0 && Slurp(sshd.Root + "/ours.bin") == content &&
                Slurp(sshd.Root + "/curl.bin") == content;
        best[0] = std::max(best[0], MBps(ours));
        best[1] = std::max(best[1], MBps(theirs));
    }
    double silentGap = 0;
    {
        int port = 0;
        const int silent = BindLoopback(port, 4);  // accepts, never speaks
        TSftpCli sftp(nullptr);
        sftp.HostName = "127.0.0.1";
        sftp.Port = std::to_string(port);
        sftp.UserName = TSshdServer::User;
        sftp.Timeout = 2;
        TLoopWatch watch;
        sftp.Connect();
        silentGap = watch.MaxGapMs();
        ::close(silent);
    }
    std::printf("50 MiB uploaded over SFTP to sshd on 127.0.0.1, best of %d\n", runs);
    std::printf("%12s %12s %7s\n", "TSftpCli", "curl", "ratio");
    std::printf("%7.1f MB/s %7.1f MB/s %7.2f\n", best[0], best[1], best[1] > 0 ? best[0] / best[1] : 0.0);
    std::printf("longest message loop pause: %.1f ms during the upload, %.1f ms waiting for a silent server\n", gap,
                silentGap);
    if (!allOk)
        std::printf("some transfer failed or came back different\n");
    return allOk ? 0 : 1;
}
