// The main window's motion detection: the detector on the camera's frames,
// an event's pictures in motion/, their upload by the upload job, the
// "motion" menu item and the mark in the picture.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

#include "app/main.h"
#include "imaging/AtomicFile.h"
#include "platform/Application.h"

namespace {

// Frames missing this long mean no signal (as the picture shows it).
constexpr uint64_t NoSignalMs = 2000;

uint64_t NowMs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// "yyyymmddhhnnss.jpg"
bool IsPictureName(const std::string& Name)
{
    return Name.size() == 18 && Name.compare(14, 4, ".jpg") == 0 &&
           std::all_of(Name.begin(), Name.begin() + 14, [](char c) { return c >= '0' && c <= '9'; });
}

// Removes the oldest pictures of Dir beyond Keep; the names sort by time.
void KeepNewest(const std::string& Dir, int Keep)
{
    std::vector<std::string> names;
    if (DIR* d = opendir(Dir.c_str())) {
        while (const dirent* e = readdir(d))
            if (IsPictureName(e->d_name))
                names.emplace_back(e->d_name);
        closedir(d);
    }
    if (names.size() <= static_cast<size_t>(Keep))
        return;
    std::sort(names.begin(), names.end());
    for (size_t i = 0; i + Keep < names.size(); ++i)
        unlink((Dir + names[i]).c_str());
}

} // namespace

void Tcapmain::BindMotionEvents()
{
    motion1->OnClick = [this](TObject* s) { motion1Click(s); };
    MotionTimer->OnTimer = [this](TObject* s) { MotionTimerTimer(s); };
}

void Tcapmain::motion1Click(TObject*)
{
    MotionSettings.Enabled = !MotionSettings.Enabled;
    ApplyMotion();
}

void Tcapmain::ApplyMotion()
{
    const bool on = MotionSettings.Enabled;
    motion1->Checked = on;
    if (on == MotionTimer->Enabled())
        return;
    if (on) {
        FMotionFrameMs = NowMs();
        FrameGrabber1->SetRawFrameSink([this](const TRawFrame& Frame) { MotionFrame(Frame); });
        MotionTimer->SetEnabled(true);
        return;
    }
    FrameGrabber1->SetRawFrameSink(nullptr);
    MotionTimer->SetEnabled(false);
    FMotionActions.clear();
    if (Motion.Active())
        MotionAct(Motion.SignalLost(NowMs()));
    Motion.Reset();
}

// On the capture window's thread, inside its frame handling: only the
// detector runs here; what it asks for is done by the timer.
void Tcapmain::MotionFrame(const TRawFrame& Frame)
{
    FMotionFrameMs = NowMs();
    const TMotionAction a = Motion.Frame(Frame, FMotionFrameMs);
    if (a != TMotionAction::None)
        FMotionActions.push_back(a);
}

void Tcapmain::MotionTimerTimer(TObject*)
{
    const uint64_t now = NowMs();
    const bool signal = FrameGrabber1->DriverOpen() && now - FMotionFrameMs < NoSignalMs;
    const TMotionAction a = signal ? Motion.Tick(now) : Motion.SignalLost(now);
    if (a != TMotionAction::None)
        FMotionActions.push_back(a);
    // Handlers run nested inside the status line and the upload: each
    // action is taken off the list before it is carried out.
    while (!FMotionActions.empty()) {
        const TMotionAction next = FMotionActions.front();
        FMotionActions.erase(FMotionActions.begin());
        MotionAct(next);
    }
    if (!FMotionPending.empty() && !FUploading && !FtpHost.empty() && FrameGrabber1->DriverOpen())
        MotionUpload();
}

void Tcapmain::MotionAct(TMotionAction Action)
{
    switch (Action) {
    case TMotionAction::Started:
        FMotionStart = std::time(nullptr);
        MotionMark->SetVisible(true);
        msg->SetCaption("Motion detected");
        MotionPicture();
        break;
    case TMotionAction::Picture:
        MotionPicture();
        break;
    case TMotionAction::Ended: {
        MotionMark->SetVisible(false);
        const uint64_t s = (Motion.EventLengthMs() + 500) / 1000;
        msg->SetCaption("Motion ended after " + std::to_string(s) + " s");
        break;
    }
    case TMotionAction::None: break;
    }
}

void Tcapmain::MotionPicture()
{
    if (!FrameGrabber1->DriverOpen() || !Motion.Active())
        return;
    const std::string dir = AppDir + "motion/";
    const auto now = std::chrono::system_clock::now();
    const std::string name = HistoryFileName(now);
    // A full disk or a missing directory is told; the next picture tries again.
    try {
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            throw Exception("Cannot create " + dir + ": " + std::strerror(errno));
        TakeSnapshot("motion/" + name, now);
    } catch (const std::exception& e) {
        msg->SetCaption(std::string("Motion picture not saved: ") + e.what());
        return;
    }
    KeepNewest(dir, MotionSettings.Keep);
    FMotionPending = name;
}

// The newest picture goes up as the upload job's picture and as its
// history copy, with the page; pictures taken meanwhile wait for the next
// free moment, the newest of them going up then.
void Tcapmain::MotionUpload()
{
    const std::string name = std::move(FMotionPending);
    FMotionPending.clear();
    struct TRun {
        Tcapmain& Main;
        ~TRun()
        {
            Main.MotionUploadName.clear();
            Main.FUploading = false;
            Main.SpeedButton4->SetEnabled(true);
        }
    } run{*this};
    FUploading = true;
    SpeedButton4->SetEnabled(false);
    MotionUploadName = name;
    try {
        std::ifstream in(AppDir + "motion/" + name, std::ios::binary);
        const std::string picture((std::istreambuf_iterator<char>(in)), {});
        if (!in.good() && !in.eof())
            throw Exception("Cannot read " + AppDir + "motion/" + name);
        WriteFileAtomic(AppDir + Edit1->Text(), picture.data(), picture.size());
        if (!UploadByFtp(Edit1->Text()))
            msg->SetCaption("Motion picture " + name + " not uploaded: " + LastUpload.Reason);
    } catch (const std::exception& e) {
        ftp->Abort();
        sftp->Quit();
        msg->SetCaption(std::string("Motion picture not uploaded: ") + e.what());
    }
}
