// Tells a service manager (systemd, Type=notify) about the program's
// state: one datagram to the socket named by $NOTIFY_SOCKET.
#pragma once

#include <string>

// Sends State (for example "READY=1"); false when no manager listens.
bool NotifyServiceManager(const std::string& State);
