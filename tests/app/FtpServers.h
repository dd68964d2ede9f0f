// pyftpdlib (Debian's, under /usr/bin/python3) for the upload tests, on an
// ephemeral 127.0.0.1 port, telling every command and upload it sees.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "net/LoopPeers.h"

// pyftpdlib with one user whose home is Root. Every command it takes is
// printed as "CMD <line>", every completed upload as "RECEIVED <path
// below Root>".
class TPyFtpd {
public:
    TPyFtpd(const std::string& Root, const std::string& User, const std::string& Password)
    {
        static const char* const script = R"(
import logging, os, sys
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer
root, user, password = sys.argv[1:4]
logging.basicConfig(level=logging.ERROR)
auth = DummyAuthorizer()
auth.add_user(user, password, root, perm='elradfmwMT')
class Handler(FTPHandler):
    def pre_process_command(self, line, cmd, arg):
        print('CMD ' + line, flush=True)
        return FTPHandler.pre_process_command(self, line, cmd, arg)
    def on_file_received(self, file):
        print('RECEIVED ' + os.path.relpath(file, root), flush=True)
Handler.authorizer = auth
Handler.auth_failed_timeout = 0
server = FTPServer(('127.0.0.1', 0), Handler)
print('PORT %d' % server.socket.getsockname()[1], flush=True)
server.serve_forever()
)";
        FProcess = std::make_unique<TLoopProcess>(
            std::vector<std::string>{"/usr/bin/python3", "-c", script, Root, User, Password});
        RunUntil([this] { return Port() != 0 || FProcess->Exited; }, 20000);
    }

    // The listening port; 0 until the server has said it.
    int Port() const
    {
        const std::string& out = FProcess->Output;
        size_t p = out.find("PORT ");
        return p == std::string::npos ? 0 : std::atoi(out.c_str() + p + 5);
    }
    // The lines that start with Prefix + " ", without it, in order.
    std::vector<std::string> Lines(const std::string& Prefix) const
    {
        std::vector<std::string> lines;
        std::string key = Prefix + " ";
        size_t pos = 0;
        const std::string& out = FProcess->Output;
        while (pos < out.size()) {
            size_t end = out.find('\n', pos);
            if (end == std::string::npos)
                break;
            std::string line = out.substr(pos, end - pos);
            if (line.rfind(key, 0) == 0)
                lines.push_back(line.substr(key.size()));
            pos = end + 1;
        }
        return lines;
    }
    std::vector<std::string> Received() const { return Lines("RECEIVED"); }
    std::vector<std::string> Commands() const { return Lines("CMD"); }
    // Runs the loop until the server has printed Count uploads.
    bool WaitReceived(size_t Count) const
    {
        return RunUntil([&] { return Received().size() >= Count; }, 10000);
    }

private:
    std::unique_ptr<TLoopProcess> FProcess;
};
