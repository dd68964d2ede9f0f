#include "capture/CaptureDriver.h"

#include <algorithm>

#include "capture/TestPatternDriver.h"
#include "capture/V4l2Driver.h"
#include "imaging/TextRenderer.h"

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
        if (Index < 0)
            return false;
        auto devices = ListV4l2Devices();
        if (Index > static_cast<int>(devices.size()))
            return false;
        Name = devices[Index - 1].Card;
        Version = devices[Index - 1].Version;
        return true;
    }

    std::unique_ptr<TCaptureDriver> Create(int Index) override
    {
        if (Index == 0)
            return std::make_unique<TTestPatternDriver>();
        if (Index < 0)
            return nullptr;
        auto devices = ListV4l2Devices();
        if (Index > static_cast<int>(devices.size()))
            return nullptr;
        return std::make_unique<TV4l2Driver>(devices[Index - 1].Path);
    }
};

TDefaultTable gDefaultTable;
TDriverTable* gTable = nullptr;
TCaptureDialog gDialog;

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
