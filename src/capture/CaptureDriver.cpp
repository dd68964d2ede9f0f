#include "capture/CaptureDriver.h"

#include <algorithm>
#include <cstdint>
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
