#include "headless/ServiceNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

bool NotifyServiceManager(const std::string& State)
{
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@'))
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t length = std::strlen(path);
    if (length >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path, length);
    if (path[0] == '@')
        addr.sun_path[0] = '\0';  // an abstract socket
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    const bool sent = sendto(fd, State.data(), State.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), size) ==
                      static_cast<ssize_t>(State.size());
    close(fd);
    return sent;
}
