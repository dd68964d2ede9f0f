// The pieces of the FTP upload job that need no FTP session: the page
// "cam.html", the history copy's name, the password as sent, and the host
// field split into host and port.
#pragma once

#include <string>
#include <vector>

#include "app/Snapshot.h"

// What the page shows.
struct TCamPageInput {
    std::string FileName;   // the picture, as the page's <img> names it
    std::string Message;    // the operator's message; empty: no message line
    TSnapshotStamp Now;     // the date-time line
    bool ServerRunning = false;            // the "Live camera" lines
    std::vector<std::string> Addresses;    // this host's addresses
    int HttpPort = 8765;
};

// The page, lines ended by CR LF, the texts inserted as they are.
std::string CamPageText(const TCamPageInput& Input);

// "yyyymmddhhnnss.jpg" in local time.
std::string HistoryFileName(TSnapshotStamp Stamp);

// The password without the blanks and control characters at its ends.
std::string TrimPassword(const std::string& Password);

// "host:port" gives host and the port's digits; a text without a
// ":digits" ending is all host, with the standard service "ftp".
void SplitFtpHost(const std::string& Text, std::string& Host, std::string& Port);

// The name a file is stored under before it is renamed into place.
std::string TemporaryUploadName(const std::string& FileName);

// The line that says why "/a" and the timer upload nothing while no FTP
// server is set.
std::string UploadsOffText();

// Why an FTP step failed, from the client's error text: a server's reply
// as it came (its last line), the client's own connection and TLS texts
// without their code, a timeout as "timed out after N s in STEP".
std::string FtpFailureReason(const std::string& ErrorText, const std::string& Step, int TimeoutSeconds);
