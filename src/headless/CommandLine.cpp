#include "headless/CommandLine.h"

#include <cstdio>

namespace {

// "WxH" with both parts from 1 to 9999.
bool ParseSize(const std::string& Text, int& Width, int& Height)
{
    int w = 0, h = 0, used = 0;
    if (std::sscanf(Text.c_str(), "%4d%*[xX]%4d%n", &w, &h, &used) != 2 || used != static_cast<int>(Text.size()) || w <= 0 ||
        h <= 0)
        return false;
    Width = w;
    Height = h;
    return true;
}

} // namespace

TCommandLine ParseCommandLine(int argc, char** argv)
{
    TCommandLine c;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--headless")
            c.Headless = true;
        else if (a == "--help" || a == "-h")
            c.Help = true;
        else if (a == "--version")
            c.Version = true;
        else if (a == "--list-devices")
            c.ListDevices = true;
        else if (a == "--docdir" || a == "--config" || a == "--device" || a == "--size" || a == "--web-login" ||
                 a.rfind("--device=", 0) == 0 || a.rfind("--size=", 0) == 0 || a.rfind("--docdir=", 0) == 0 ||
                 a.rfind("--config=", 0) == 0 || a.rfind("--web-login=", 0) == 0) {
            const size_t eq = a.find('=');
            std::string value;
            if (eq != std::string::npos) {
                value = a.substr(eq + 1);
                a.resize(eq);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                c.Error = a + " needs a value";
                break;
            }
            if (a == "--web-login") {
                c.WebLogin = true;
                c.WebUser = value;
            } else if (a == "--docdir")
                c.DocDir = value;
            else if (a == "--config")
                c.Config = value;
            else if (a == "--device")
                c.Device = value;
            else if (!ParseSize(value, c.Width, c.Height)) {
                c.Error = "--size wants WIDTHxHEIGHT, not " + value;
                break;
            }
        }
        else if (a.rfind("--", 0) == 0 && a.size() > 2) {
            c.Error = "unknown option " + a;
            break;
        } else
            c.Args.push_back(a);
    }
    return c;
}

std::string UsageText()
{
    return "Usage: quorrelane [--headless] [--docdir DIR] [--config FILE] [--list-devices] [--device D] [--size WxH]\n"
           "                  [--web-login USER] [--help] [--version] [/a]\n"
           "  --headless       run without a display (messages go to stderr)\n"
           "  --docdir DIR     data and document directory (default $XDG_DATA_HOME/quorrelane/)\n"
           "  --config FILE    settings file (default $XDG_CONFIG_HOME/quorrelane/videosetting.ini)\n"
           "  --list-devices   list the capture devices (index, name, device, sizes) and exit\n"
           "  --device D       capture from device D: its index, /dev/videoN or name (kept as the chosen one)\n"
           "  --size WxH       capture size, e.g. 1280x720 (remembered for the camera)\n"
           "  --web-login USER store the user and the password (read from stdin) that viewers\n"
           "                   must give, and exit; an empty USER lets anyone watch\n"
           "  --help           show this text\n"
           "  --version        show the version\n"
           "  /a               open the camera, start the server and the upload at once\n"
           "Exit status: 0 closed normally (SIGINT, SIGTERM); 1 ended by a second signal (settings not\n"
           "written) or another failure; 2 bad command line, settings file unreadable or the --device\n"
           "camera missing; 3 with /a: the camera did not open; 4 with /a: the server cannot listen\n"
           "(port in use, address not available, permission).\n";
}
