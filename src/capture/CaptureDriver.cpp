#include "capture/CaptureDriver.h"

#include <algorithm>
#include <cstdint>
#include <cctype>
#include <cstdlib>

#include "capture/TestPatternDriver.h"
#include "capture/V4l2Driver.h"
#include "imaging/TextRenderer.h"
#include "platform/Profile.h"

namespace {

// Index 0 the test pattern, then the V4L2 capture devices.
class TDefaultTable : public TDriverTable {
public:
    bool Describe(int Index, std::string& Name, std::string& Version) override
    {
        if (Index == 0) {
            Name = TTestPatternDriver::DriverName;
            Version = TTestPatternDriver::DriverVersion;
            return true;
        }
        const auto& devices = Devices();
        if (Index < 0 || Index > static_cast<int>(devices.size()))
            return false;
        Name = devices[Index - 1].Card;
        Version = devices[Index - 1].Version;
        return true;
    }

    bool Details(int Index, TDriverDetails& Out) override
    {
        if (Index == 0) {
            Out.Path = "(built in)";
            Out.Sizes.clear();
            for (const auto& s : TTestPatternDriver::Sizes())
                Out.Sizes.push_back(std::to_string(s.Width) + "x" + std::to_string(s.Height));
            return true;
        }
        const auto& devices = Devices();
        if (Index < 0 || Index > static_cast<int>(devices.size()))
            return false;
        Out.Path = devices[Index - 1].Path;
        Out.Sizes = devices[Index - 1].Sizes;
        return true;
    }

    std::unique_ptr<TCaptureDriver> Create(int Index) override
    {
        if (Index == 0)
            return std::make_unique<TTestPatternDriver>();
        const auto& devices = Devices();
        if (Index < 0 || Index > static_cast<int>(devices.size()))
            return nullptr;
        return std::make_unique<TV4l2Driver>(devices[Index - 1].Path);
    }

private:
    // One scan serves the questions of one moment (a driver list asks
    // for ten descriptions): scanning opens every node, which can wake a
    // camera. A changed set of nodes scans again at once.
    const std::vector<TV4l2Device>& Devices()
    {
        const DWORD now = GetTickCount();
        auto nodes = V4l2Nodes();
        if (!FScanned || nodes != FNodes || now - FScanTick >= ScanLifeMs) {
            FDevices = ListV4l2Devices();
            FNodes = std::move(nodes);
            FScanned = true;
            FScanTick = now;
        }
        return FDevices;
    }

    static constexpr DWORD ScanLifeMs = 2000;
    std::vector<TV4l2Device> FDevices;
    std::vector<std::string> FNodes;
    bool FScanned = false;
    DWORD FScanTick = 0;
};

TDefaultTable gDefaultTable;
TDriverTable* gTable = nullptr;
TCaptureDialog gDialog;
std::string gSettingsFile;
int gRequestedWidth = 0, gRequestedHeight = 0;

// A camera's identity as a section name.
std::string Section(const std::string& Camera)
{
    std::string s = Camera;
    for (char& c : s)
        if (c == '[' || c == ']' || c == '\n' || c == '\r' || c == '=')
            c = '_';
    return s;
}

} // namespace

TDriverTable& DriverTable() { return gTable ? *gTable : gDefaultTable; }

void SetDriverTable(TDriverTable* Table) { gTable = Table; }

int FindCaptureDriver(const std::string& Device)
{
    if (Device.empty())
        return -1;
    std::string name, version;
    if (Device.find_first_not_of("0123456789") == std::string::npos)
        return Device.size() <= 2 && DriverTable().Describe(std::stoi(Device), name, version) ? std::stoi(Device) : -1;
    const auto lower = [](std::string t) {
        for (char& c : t)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    int containing = -1, count = 0;
    for (int i = 0; i <= 9 && DriverTable().Describe(i, name, version); ++i) {
        TDriverDetails details;
        if (name == Device || (DriverTable().Details(i, details) && details.Path == Device))
            return i;
        if (lower(name).find(lower(Device)) != std::string::npos) {
            containing = i;
            ++count;
        }
    }
    return count == 1 ? containing : -1;
}

void SetCaptureDialog(TCaptureDialog Dialog) { gDialog = std::move(Dialog); }

int ShowCaptureDialog(const std::string& Title, const std::vector<std::string>& Choices, int Current)
{
    if (!gDialog)
        return Current;
    return gDialog(Title, Choices, Current);
}

void DrawNoSignal(TBitmap& Frame, int Width, int Height)
{
    Frame.SetSize(Width, Height);
    if (Frame.Empty())
        return;
    for (int y = 0; y < Frame.Height(); ++y)
        std::fill_n(Frame.ScanLine(y), static_cast<size_t>(Frame.Width()) * 3, uint8_t{32});
    const std::string text = "NO SIGNAL";
    TTextRenderer font(std::max(6.0, Height / 10.0), 72);
    const TTextExtent e = font.TextExtent(text);
    font.TextOut(Frame, (Width - e.Width) / 2, (Height - e.Height) / 2, text, TRGBColor{255, 255, 255},
                 TRGBColor{32, 32, 32}, false);
}

void SetCaptureSettingsFile(const std::string& FileName) { gSettingsFile = FileName; }

int ReadCaptureSetting(const std::string& Camera, const std::string& Key, int Default)
{
    if (gSettingsFile.empty())
        return Default;
    const std::string text = GetPrivateProfileString(Section(Camera), Key, "", 32, gSettingsFile);
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    return text.empty() || *end || v < INT32_MIN || v > INT32_MAX ? Default : static_cast<int>(v);
}

void WriteCaptureSetting(const std::string& Camera, const std::string& Key, int Value)
{
    if (gSettingsFile.empty())
        return;
    // A settings file that cannot be written loses the choice, nothing else.
    WritePrivateProfileString(Section(Camera).c_str(), Key.c_str(), std::to_string(Value).c_str(), gSettingsFile);
}

void SetRequestedCaptureSize(int Width, int Height)
{
    gRequestedWidth = std::max(0, Width);
    gRequestedHeight = std::max(0, Height);
}

bool RequestedCaptureSize(int& Width, int& Height)
{
    if (gRequestedWidth <= 0 || gRequestedHeight <= 0)
        return false;
    Width = gRequestedWidth;
    Height = gRequestedHeight;
    return true;
}
