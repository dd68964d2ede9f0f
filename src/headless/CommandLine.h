// The command line: options first, then the program's own arguments.
#pragma once

#include <string>
#include <vector>

struct TCommandLine {
    bool Headless = false;
    bool Help = false;
    bool Version = false;
    bool ListDevices = false;  // --list-devices
    std::string Device;   // --device INDEX|/dev/videoN|NAME
    int Width = 0, Height = 0;  // --size WxH
    std::string DocDir;   // --docdir DIR
    std::string Config;   // --config FILE
    bool WebLogin = false;      // --web-login USER: store it, password from stdin
    std::string WebUser;
    std::vector<std::string> Args;  // what is left, in order ("/a" ...)
    std::string Error;    // a usage error, empty when the line is sound
};

TCommandLine ParseCommandLine(int argc, char** argv);
std::string UsageText();
