#include "capture/CaptureDriver.h"

#include <algorithm>
#include <cstdint>
#include <cctype>
#include <cstdlib>

#include "capture/TestPatternDriver.h"
#include "capture/V4l2Driver.h"
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
            Out.Identity.clear();
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
        Out.Identity = devices[Index - 1].Identity;
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

std::vector<int> MatchCaptureDrivers(const std::string& Device, bool* Whole)
{
    if (Whole)
        *Whole = true;
    if (Device.empty())
        return {};
    std::string name, version;
    if (Device.find_first_not_of("0123456789") == std::string::npos) {
        if (Device.size() <= 2 && DriverTable().Describe(std::stoi(Device), name, version))
            return {std::stoi(Device)};
        return {};
    }
    const auto lower = [](std::string t) {
        for (char& c : t)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    std::vector<int> whole, containing;
    for (int i = 0; i <= 9 && DriverTable().Describe(i, name, version); ++i) {
        TDriverDetails details;
        if (DriverTable().Details(i, details) && details.Path == Device)
            return {i};
        if (name == Device)
            whole.push_back(i);
        else if (lower(name).find(lower(Device)) != std::string::npos)
            containing.push_back(i);
    }
    if (!whole.empty())
        return whole;
    if (Whole)
        *Whole = false;
    return containing;
}

int FindCaptureDriver(const std::string& Device)
{
    bool whole = false;
    const auto found = MatchCaptureDrivers(Device, &whole);
    return !found.empty() && (whole || found.size() == 1) ? found.front() : -1;
}

int FindCaptureIdentity(const std::string& Identity)
{
    std::string name, version;
    for (int i = 0; !Identity.empty() && i <= 9 && DriverTable().Describe(i, name, version); ++i) {
        TDriverDetails details;
        if (DriverTable().Details(i, details) && details.Identity == Identity)
            return i;
    }
    return -1;
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
    // 5x7 letters, one row a byte, bit 4 the left column.
    struct TGlyph {
        char Letter;
        uint8_t Rows[7];
    };
    static constexpr TGlyph Glyphs[] = {
        {'N', {17, 25, 21, 19, 17, 17, 17}}, {'O', {14, 17, 17, 17, 17, 17, 14}}, {'S', {15, 16, 16, 14, 1, 1, 30}},
        {'I', {14, 4, 4, 4, 4, 4, 14}},      {'G', {14, 17, 16, 23, 17, 17, 15}}, {'A', {14, 17, 17, 31, 17, 17, 17}},
        {'L', {16, 16, 16, 16, 16, 16, 31}},
    };
    Frame.SetSize(Width, Height);
    if (Frame.Empty())
        return;
    for (int y = 0; y < Frame.Height(); ++y)
        std::fill_n(Frame.ScanLine(y), static_cast<size_t>(Frame.Width()) * 3, uint8_t{32});
    const std::string text = "NO SIGNAL";
    const int columns = static_cast<int>(text.size()) * 6 - 1;
    const int scale = std::max(1, std::min(Frame.Width() * 6 / 10 / columns, Frame.Height() / 4 / 7));
    const int x0 = (Frame.Width() - columns * scale) / 2, y0 = (Frame.Height() - 7 * scale) / 2;
    for (size_t i = 0; i < text.size(); ++i)
        for (const auto& g : Glyphs) {
            if (g.Letter != text[i])
                continue;
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col) {
                    if (!(g.Rows[row] & (16 >> col)))
                        continue;
                    for (int y = std::max(0, y0 + row * scale); y < std::min(Frame.Height(), y0 + (row + 1) * scale); ++y) {
                        const int xa = std::max(0, x0 + (static_cast<int>(i) * 6 + col) * scale);
                        const int xb = std::min(Frame.Width(), x0 + (static_cast<int>(i) * 6 + col + 1) * scale);
                        if (xb > xa)
                            std::fill_n(Frame.ScanLine(y) + xa * 3, static_cast<size_t>(xb - xa) * 3, uint8_t{255});
                    }
                }
        }
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
