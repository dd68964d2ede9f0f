#include "headless/CommandLine.h"

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
        else if (a == "--docdir" || a == "--config") {
            if (i + 1 >= argc) {
                c.Error = a + " needs a value";
                break;
            }
            (a == "--docdir" ? c.DocDir : c.Config) = argv[++i];
        } else if (a.rfind("--docdir=", 0) == 0)
            c.DocDir = a.substr(9);
        else if (a.rfind("--config=", 0) == 0)
            c.Config = a.substr(9);
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
    return "Usage: quorrelane [--headless] [--docdir DIR] [--config FILE] [--help] [--version] [/a]\n"
           "  --headless       run without a display (messages go to stderr)\n"
           "  --docdir DIR     data and document directory (default $XDG_DATA_HOME/quorrelane/)\n"
           "  --config FILE    settings file (default $XDG_CONFIG_HOME/quorrelane/videosetting.ini)\n"
           "  --help           show this text\n"
           "  --version        show the version\n"
           "  /a               open the camera, start the server and the upload at once\n";
}
