// TFtpClient against curl, both moving the same 50 MiB file to and from
// vsftpd on 127.0.0.1, in active and in passive mode, and in passive mode
// over explicit TLS against curl --ssl-reqd. Prints MB/s of each
// (best of the runs) and the ratio.
//
//   bench_ftp_vs_curl [runs]   (default 3; needs root, vsftpd and curl)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "ftp/FtpCli.h"
#include "ftp/FtpTestPeers.h"

namespace {

using TClock = std::chrono::steady_clock;
using bench::RunCurl;
constexpr auto MBps = bench::TransferMBps;

template <class F>
double Timed(F&& Body)
{
    auto t0 = TClock::now();
    if (!Body())
        return 0;
    return std::chrono::duration<double>(TClock::now() - t0).count();
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    TTempDir dir;
    TTempDir tlsDir;
    TRealFtpServer plainServer(TRealFtpServer::Vsftpd, dir);
    TRealFtpServer tlsServer(TRealFtpServer::Vsftpd, tlsDir, true);
    for (const TRealFtpServer* s : {&plainServer, &tlsServer})
        if (!s->SkipReason.empty()) {
            std::printf("skipped: %s\n", s->SkipReason.c_str());
            return 0;
        }
    const std::string content = bench::TransferContent();
    Spit(dir / "src.bin", content);

    std::printf("50 MiB over FTP to vsftpd on 127.0.0.1, best of %d\n", runs);
    std::printf("%-8s %-9s %12s %12s %7s\n", "mode", "direction", "TFtpClient", "curl", "ratio");
    bool allOk = true;
    for (int modeIndex = 0; modeIndex < 3; ++modeIndex) {
        const bool passive = modeIndex >= 1, tls = modeIndex == 2;
        const TRealFtpServer& server = tls ? tlsServer : plainServer;
        const std::string url = "ftp://127.0.0.1:" + std::to_string(server.Port) + "/";
        const std::string user = server.User + ":" + server.Pass;
        double best[2][2] = {};  // [ours, curl][up, down]
        for (int run = 0; run < runs; ++run) {
            TFtpClient ftp(nullptr);
            ftp.SetHostName("127.0.0.1");
            ftp.SetPort(std::to_string(server.Port));
            ftp.SetUserName(server.User);
            ftp.SetPassWord(server.Pass);
            if (passive)
                ftp.SetConnectionType(ftpProxy);
            ftp.SetConnectionType(ftpDirect);
            ftp.SetTls(tls);
            ftp.SetTlsFingerprint(server.Fingerprint);
            ftp.SetTimeout(120);
            if (!ftp.Connect() || !ftp.TypeBinary()) {
                std::printf("connect failed: %s\n", ftp.GetErrorMessage().c_str());
                return 1;
            }
            ftp.SetHostFileName("ours.bin");
            ftp.SetLocalFileName(dir / "src.bin");
            double up = Timed([&] { return ftp.Put(); });
            ftp.SetLocalFileName(dir / "back.bin");
            double down = Timed([&] { return ftp.RunSync(&TCustomFtpCli::GetAsync); });
            ftp.Quit();
            bool same = Slurp(server.Root + "/ours.bin") == content && Slurp(dir / "back.bin") == content;
            allOk = allOk && same && up > 0 && down > 0;

            std::vector<std::string> mode;
            if (!passive)
                mode = {"-P", "127.0.0.1"};
            if (tls)
                mode.insert(mode.end(), {"--ssl-reqd", "-k"});
            std::vector<std::string> upArgs = mode, downArgs = mode;
            upArgs.insert(upArgs.end(), {"-u", user, "-T", dir / "src.bin", url + "curl.bin"});
            downArgs.insert(downArgs.end(), {"-u", user, "-o", dir / "curlback.bin", url + "curl.bin"});
            double cup = RunCurl(upArgs);
            double cdown = RunCurl(downArgs);
            allOk = allOk && cup > 0 && cdown > 0 && Slurp(dir / "curlback.bin") == content;

            double v[2][2] = {{MBps(up), MBps(down)}, {MBps(cup), MBps(cdown)}};
            for (int i = 0; i < 2; ++i)
                for (int j = 0; j < 2; ++j)
                    best[i][j] = std::max(best[i][j], v[i][j]);
        }
        for (int j = 0; j < 2; ++j)
            std::printf("%-8s %-9s %7.1f MB/s %7.1f MB/s %7.2f\n", tls ? "tls-pasv" : passive ? "passive" : "active",
                        j == 0 ? "upload" : "download", best[0][j], best[1][j],
                        best[1][j] > 0 ? best[0][j] / best[1][j] : 0.0);
    }
    if (!allOk)
        std::printf("some transfer failed or came back different\n");
    return allOk ? 0 : 1;
}
