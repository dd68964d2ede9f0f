#include "app/Program.h"

#include "app/driver.h"
#include "app/main.h"
#include "app/setting.h"
#include "app/weblogin.h"
#include "platform/Application.h"

void StartProgram(TApplication& App, const std::string& DocDir, const std::string& ConfigFile,
                  const std::vector<std::string>& Args)
{
    Startup.DocDir = DocDir;
    Startup.ConfigFile = ConfigFile;
    Startup.Args = Args;
    App.Title = "Quorrelane";
}

void CreateProgramForms()
{
    CreateForm<Tcapmain>();
    CreateForm<Tdlgdriver>();
    CreateForm<Tsettingform>();
    CreateForm<Twebloginform>();
}
