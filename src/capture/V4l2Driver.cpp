#include "capture/V4l2Driver.h"

#include <dirent.h>
#include <fcntl.h>
#include <libv4l2.h>
#include <libv4lconvert.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

constexpr int PreferredWidth = 640;
constexpr int PreferredHeight = 480;
constexpr unsigned BufferCount = 3;
constexpr int WarmupFrames = 5;
constexpr DWORD WarmupMs = 300;
// A frame older than this is not shown as the camera's picture.
constexpr DWORD StaleMs = 2000;

// libv4l2 writes its diagnostics to stderr unless given a log file; they
// are dropped here (what matters, a lost or returned device, is reported by
// the driver itself).
void QuietLibv4l2()
{
    static const bool done = [] {
        cookie_io_functions_t io{};
        io.write = [](void*, const char*, size_t size) -> ssize_t { return static_cast<ssize_t>(size); };
        v4l2_log_file = fopencookie(nullptr, "w", io);
        return true;
    }();
    (void)done;
}

int Xioctl(int fd, unsigned long request, void* arg)
{
    int r;
    do
        r = v4l2_ioctl(fd, request, arg);
    while (r == -1 && errno == EINTR);
    return r;
}

std::string CardName(const v4l2_capability& cap)
{
    return std::string(reinterpret_cast<const char*>(cap.card), strnlen(reinterpret_cast<const char*>(cap.card), sizeof cap.card));
}

} // namespace

std::vector<std::string> V4l2Nodes()
{
    std::vector<std::string> names;
    if (DIR* d = opendir("/dev")) {
        while (dirent* e = readdir(d))
            if (std::strncmp(e->d_name, "video", 5) == 0 && e->d_name[5] &&
                std::strspn(e->d_name + 5, "0123456789") == std::strlen(e->d_name + 5))
                names.emplace_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return names;
}

namespace {

std::string FourCC(uint32_t Format)
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((Format >> (8 * i)) & 0xFF);
        if (c != ' ' && c != 0)
            s += c;
    }
    return s;
}

std::string Text(const uint8_t* Field, size_t Size)
{
    return std::string(reinterpret_cast<const char*>(Field), strnlen(reinterpret_cast<const char*>(Field), Size));
}

// The frame sizes of every format the device offers, smallest first.
std::vector<std::string> NativeSizes(int fd)
{
    std::vector<std::pair<uint32_t, uint32_t>> sizes;
    v4l2_fmtdesc f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (f.index = 0; f.index < 32 && ioctl(fd, VIDIOC_ENUM_FMT, &f) == 0; ++f.index) {
        v4l2_frmsizeenum fs{};
        fs.pixel_format = f.pixelformat;
        for (fs.index = 0; fs.index < 64 && ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &fs) == 0; ++fs.index) {
            if (fs.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                sizes.emplace_back(fs.discrete.width, fs.discrete.height);
            } else {
                sizes.emplace_back(fs.stepwise.min_width, fs.stepwise.min_height);
                sizes.emplace_back(fs.stepwise.max_width, fs.stepwise.max_height);
                break;
            }
        }
    }
    std::sort(sizes.begin(), sizes.end(), [](const auto& a, const auto& b) {
        return a.first * a.second != b.first * b.second ? a.first * a.second < b.first * b.second : a.first < b.first;
    });
    sizes.erase(std::unique(sizes.begin(), sizes.end()), sizes.end());
    std::vector<std::string> names;
    for (const auto& [w, h] : sizes)
        names.push_back(std::to_string(w) + "x" + std::to_string(h));
    return names;
}

} // namespace

std::string V4l2Identity(const std::string& Path, const std::string& Card, const std::string& Bus)
{
    std::error_code ec;
    const auto target = std::filesystem::canonical(Path, ec);
    if (!ec)
        for (const auto& e : std::filesystem::directory_iterator("/dev/v4l/by-id", ec)) {
            std::error_code ec2;
            if (std::filesystem::canonical(e.path(), ec2) == target && !ec2)
                return e.path().filename().string();
        }
    return Card + " @ " + Bus;
}

std::vector<TV4l2Device> ListV4l2Devices()
{
    std::vector<TV4l2Device> devices;
    for (const auto& name : V4l2Nodes()) {
        std::string path = "/dev/" + name;
        int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        v4l2_capability cap{};
        if (ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0) {
            uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
            if ((caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING)) {
                std::string version = std::to_string((cap.version >> 16) & 0xFF) + "." +
                                      std::to_string((cap.version >> 8) & 0xFF) + "." + std::to_string(cap.version & 0xFF);
                devices.push_back({path, CardName(cap), version, V4l2Identity(path, CardName(cap), Text(cap.bus_info, sizeof cap.bus_info)),
                                   NativeSizes(fd)});
            }
        }
        close(fd);
    }
    return devices;
}

TV4l2Driver::TV4l2Driver(std::string Path) : FPath(std::move(Path)) {}

TV4l2Driver::~TV4l2Driver() { Close(); }

bool TV4l2Driver::Open()
{
    Close();
    if (!Connect())
        return false;
    FLost = false;
    FSignalLost = false;
    FHaveFrame = false;
    // The stream runs while the driver is open; a device that will not
    // stream now (busy elsewhere) is not one we can use.
    if (!Begin()) {
        Disconnect();
        return false;
    }
    // The warm-up passes here, while the camera's exposure settles, so
    // that no grab has to wait for it.
    WaitForFrame(static_cast<int>(WarmupMs) + (WarmupFrames + 2) * FFramePeriodMs);
    Watch();
    return true;
}

bool TV4l2Driver::Connect()
{
    QuietLibv4l2();
    FFd = v4l2_open(FPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (FFd < 0)
        return false;
    v4l2_capability cap{};
    if (Xioctl(FFd, VIDIOC_QUERYCAP, &cap) != 0) {
        Disconnect();
        return false;
    }
    FCard = CardName(cap);
    FIdentity = V4l2Identity(FPath, FCard, Text(cap.bus_info, sizeof cap.bus_info));
    FConvert = v4lconvert_create(FFd);
    if (!FConvert) {
        Disconnect();
        return false;
    }
    // The camera's remembered input and size (or the size asked for).
    int input = ReadCaptureSetting(FIdentity, "input", -1);
    if (input >= 0)
        Xioctl(FFd, VIDIOC_S_INPUT, &input);
    int width = ReadCaptureSetting(FIdentity, "width", PreferredWidth), height = ReadCaptureSetting(FIdentity, "height", PreferredHeight);
    const bool requested = RequestedCaptureSize(width, height);
    const uint32_t format = requested ? 0 : static_cast<uint32_t>(ReadCaptureSetting(FIdentity, "format", 0));
    if (!SetFormat(width, height, format) && !SetFormat(width, height) && !SetFormat(PreferredWidth, PreferredHeight)) {
        Disconnect();
        return false;
    }
    if (requested)
        Remember();
    ListModes();
    FInputs.clear();
    for (v4l2_input in{}; Xioctl(FFd, VIDIOC_ENUMINPUT, &in) == 0; ++in.index) {
        FInputs.push_back(Text(in.name, sizeof in.name));
        if (FInputs.size() >= 32)
            break;
    }
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    FFramePeriodMs = 33;
    if (Xioctl(FFd, VIDIOC_G_PARM, &parm) == 0 && parm.parm.capture.timeperframe.denominator)
        FFramePeriodMs = std::clamp(static_cast<int>(1000ull * parm.parm.capture.timeperframe.numerator /
                                                     parm.parm.capture.timeperframe.denominator),
                                    5, 1000);
    FHangUp = false;
    return true;
}

void TV4l2Driver::Disconnect()
{
    if (FFd < 0)
        return;
    End();
    if (FConvert)
        v4lconvert_destroy(FConvert);
    FConvert = nullptr;
    v4l2_close(FFd);
    FFd = -1;
}

void TV4l2Driver::Close()
{
    Disconnect();
    FLost = false;
}

bool TV4l2Driver::SetFormat(int AWidth, int AHeight, uint32_t Format)
{
    v4l2_format src{};
    src.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    src.fmt.pix.width = static_cast<uint32_t>(AWidth);
    src.fmt.pix.height = static_cast<uint32_t>(AHeight);
    src.fmt.pix.field = V4L2_FIELD_ANY;
    if (Format) {
        src.fmt.pix.pixelformat = Format;
    } else {
        // The camera format libv4lconvert makes RGB24 from best.
        v4l2_format want = src;
        want.fmt.pix.pixelformat = V4L2_PIX_FMT_RGB24;
        if (v4lconvert_try_format(FConvert, &want, &src) != 0)
            return false;
    }
    const uint32_t asked = src.fmt.pix.pixelformat;
    if (Xioctl(FFd, VIDIOC_S_FMT, &src) != 0 || src.fmt.pix.pixelformat != asked || src.fmt.pix.width == 0 ||
        src.fmt.pix.height == 0)
        return false;
    UseFormat(src);
    return true;
}

void TV4l2Driver::UseFormat(const v4l2_format& src)
{
    FSrcFmt = src;
    FDstFmt = src;
    FDstFmt.fmt.pix.pixelformat = V4L2_PIX_FMT_RGB24;
    FDstFmt.fmt.pix.bytesperline = src.fmt.pix.width * 3;
    FDstFmt.fmt.pix.sizeimage = src.fmt.pix.width * src.fmt.pix.height * 3;
    FWidth = static_cast<int>(src.fmt.pix.width);
    FHeight = static_cast<int>(src.fmt.pix.height);
    FPixelFormat = src.fmt.pix.pixelformat;
    if (Uncompressed()) {
        FLatest = TBitmap();
        FScratch = TBitmap();
    }
}

void TV4l2Driver::ListModes()
{
    FSizes.clear();
    v4l2_fmtdesc f{};
    f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (f.index = 0; f.index < 32 && Xioctl(FFd, VIDIOC_ENUM_FMT, &f) == 0; ++f.index) {
        // Formats libv4l2 makes up are not the camera's own.
        if (f.flags & V4L2_FMT_FLAG_EMULATED)
            continue;
        v4l2_frmsizeenum fs{};
        fs.pixel_format = f.pixelformat;
        for (fs.index = 0; Xioctl(FFd, VIDIOC_ENUM_FRAMESIZES, &fs) == 0 && fs.index < 64; ++fs.index) {
            if (fs.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                FSizes.push_back({static_cast<int>(fs.discrete.width), static_cast<int>(fs.discrete.height), f.pixelformat});
                continue;
            }
            // A range: offer the common sizes that lie inside it.
            static constexpr std::pair<int, int> Common[] = {{160, 120}, {320, 240}, {352, 288}, {640, 480},
                                                             {800, 600}, {1280, 720}, {1920, 1080}};
            for (const auto& [w, h] : Common)
                if (w >= static_cast<int>(fs.stepwise.min_width) && w <= static_cast<int>(fs.stepwise.max_width) &&
                    h >= static_cast<int>(fs.stepwise.min_height) && h <= static_cast<int>(fs.stepwise.max_height))
                    FSizes.push_back({w, h, f.pixelformat});
            break;
        }
    }
    std::sort(FSizes.begin(), FSizes.end(), [](const TMode& a, const TMode& b) {
        if (a.Width * a.Height != b.Width * b.Height)
            return a.Width * a.Height < b.Width * b.Height;
        return a.Width != b.Width ? a.Width < b.Width : a.Format < b.Format;
    });
    FSizes.erase(std::unique(FSizes.begin(), FSizes.end(),
                             [](const TMode& a, const TMode& b) {
                                 return a.Width == b.Width && a.Height == b.Height && a.Format == b.Format;
                             }),
                 FSizes.end());
    if (FSizes.empty())
        FSizes.push_back({FWidth, FHeight, FPixelFormat});
}

bool TV4l2Driver::DlgVideoSource()
{
    if (FFd < 0 || FInputs.empty())
        return false;
    int current = 0;
    Xioctl(FFd, VIDIOC_G_INPUT, &current);
    int chosen = ShowCaptureDialog("Video Source", FInputs, current);
    if (chosen < 0 || chosen >= static_cast<int>(FInputs.size()))
        return false;
    if (chosen == current)
        return true;
    End();
    bool ok = Xioctl(FFd, VIDIOC_S_INPUT, &chosen) == 0;
    // Another input may come with another format: ask for ours again.
    if (ok)
        SetFormat(FWidth, FHeight, FPixelFormat);
    FHaveFrame = false;
    if (!Begin())
        ok = false;
    Watch();
    if (ok)
        Remember();
    return ok;
}

void TV4l2Driver::Remember()
{
    int input = 0;
    if (Xioctl(FFd, VIDIOC_G_INPUT, &input) == 0)
        WriteCaptureSetting(FIdentity, "input", input);
    WriteCaptureSetting(FIdentity, "width", FWidth);
    WriteCaptureSetting(FIdentity, "height", FHeight);
    WriteCaptureSetting(FIdentity, "format", static_cast<int>(FPixelFormat));
}

bool TV4l2Driver::DlgVideoFormat()
{
    if (FFd < 0 || FSizes.empty())
        return false;
    std::vector<std::string> names;
    int current = -1;
    for (size_t i = 0; i < FSizes.size(); ++i) {
        names.push_back(std::to_string(FSizes[i].Width) + "x" + std::to_string(FSizes[i].Height) + " " +
                        FourCC(FSizes[i].Format));
        if (FSizes[i].Width == FWidth && FSizes[i].Height == FHeight && FSizes[i].Format == FPixelFormat)
            current = static_cast<int>(i);
    }
    int chosen = ShowCaptureDialog("Video Format", names, current);
    if (chosen < 0 || chosen >= static_cast<int>(names.size()))
        return false;
    const int oldWidth = FWidth, oldHeight = FHeight;
    const uint32_t oldFormat = FPixelFormat;
    End();
    bool ok = SetFormat(FSizes[chosen].Width, FSizes[chosen].Height, FSizes[chosen].Format);
    if (!ok)
        SetFormat(oldWidth, oldHeight, oldFormat);
    FHaveFrame = false;
    // The stream comes back (in the old format when the new one was
    // refused), watched again.
    if (!Begin())
        ok = false;
    Watch();
    if (ok)
        Remember();
    return ok;
}

bool TV4l2Driver::Begin()
{
    if (FStreaming)
        return true;
    if (FFd < 0)
        return false;
    v4l2_requestbuffers req{};
    req.count = BufferCount;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    if (Xioctl(FFd, VIDIOC_REQBUFS, &req) != 0 || req.count == 0)
        return false;
    // The buffers fit the device's format, which is the one to read them
    // by, whatever was asked for before.
    v4l2_format now{};
    now.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Xioctl(FFd, VIDIOC_G_FMT, &now) == 0 && now.fmt.pix.width && now.fmt.pix.height &&
        (now.fmt.pix.width != FSrcFmt.fmt.pix.width || now.fmt.pix.height != FSrcFmt.fmt.pix.height ||
         now.fmt.pix.pixelformat != FSrcFmt.fmt.pix.pixelformat))
        UseFormat(now);
    for (unsigned i = 0; i < req.count; ++i) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        buf.index = i;
        if (Xioctl(FFd, VIDIOC_QUERYBUF, &buf) != 0) {
            End();
            return false;
        }
        void* p = v4l2_mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, FFd, buf.m.offset);
        if (p == MAP_FAILED) {
            End();
            return false;
        }
        FBuffers.push_back({p, buf.length});
        if (Xioctl(FFd, VIDIOC_QBUF, &buf) != 0) {
            End();
            return false;
        }
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Xioctl(FFd, VIDIOC_STREAMON, &type) != 0) {
        End();
        return false;
    }
    FStreaming = true;
    FStreamTick = GetTickCount();
    FWarmup = WarmupFrames;
    return true;
}

void TV4l2Driver::End()
{
    if (FWatching) {
        UnwatchDescriptor(FFd);
        FWatching = false;
    }
    if (FFd >= 0 && FStreaming) {
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        Xioctl(FFd, VIDIOC_STREAMOFF, &type);
    }
    FStreaming = false;
    FHeld = -1;
    FRawFresh = false;
    FHaveRaw = false;
    for (auto& b : FBuffers)
        v4l2_munmap(b.Start, b.Length);
    FBuffers.clear();
    if (FFd >= 0) {
        v4l2_requestbuffers req{};
        req.count = 0;
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        Xioctl(FFd, VIDIOC_REQBUFS, &req);
    }
}

void TV4l2Driver::Restart()
{
    End();
    if (Begin())
        Watch();
}

void TV4l2Driver::Watch()
{
    if (FWatching || !FStreaming)
        return;
    FWatching = true;
    WatchDescriptor(FFd, EPOLLIN, [this](uint32_t events) {
        if (events & (EPOLLERR | EPOLLHUP)) {
            FHangUp = true;
            UnwatchDescriptor(FFd);
            FWatching = false;
        } else {
            ChangeDescriptor(FFd, 0);
        }
        if (TCaptureEvents* e = Events())
            e->DriverFrameReady();
    });
}

// The stream is open, the device is ours: frames come and go.
bool TV4l2Driver::StartStream() { return FFd >= 0 || FLost; }

// The stream keeps running while the driver is open: a grab then has a
// frame at once, and no warm-up frame ever reaches a picture.
void TV4l2Driver::StopStream() {}

bool TV4l2Driver::Settled() const { return FWarmup <= 0 && GetTickCount() - FStreamTick >= WarmupMs; }

bool TV4l2Driver::Dequeue(bool& Got)
{
    Got = false;
    // Bounded: a device that keeps failing without handing out frames
    // must not hold the program here.
    for (unsigned tries = 0; tries < 4 * BufferCount + 4; ++tries) {
        v4l2_buffer buf{};
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        if (Xioctl(FFd, VIDIOC_DQBUF, &buf) != 0) {
            if (errno == EAGAIN)
                return true;
            if (errno == ENODEV) {
                Lose("is gone", errno);
                return false;
            }
            // A frame the device could not hand out: skip it.
            ++FSkipped;
            continue;
        }
        // An uncompressed frame has one size: a shorter one is of another
        // format, and a buffer too small for the format is none of ours.
        const size_t frameBytes = static_cast<size_t>(FSrcFmt.fmt.pix.bytesperline) * FSrcFmt.fmt.pix.height;
        if (buf.index < FBuffers.size() && FBuffers[buf.index].Length < frameBytes) {
            Restart();
            return true;
        }
        const bool good = buf.index < FBuffers.size() && !(buf.flags & V4L2_BUF_FLAG_ERROR) && buf.bytesused > 0 &&
                          buf.bytesused >= frameBytes;
        if (!good)
            ++FSkipped;
        else if (!Settled())
            --FWarmup;
        v4l2_buffer back = buf;
        if (good && Settled()) {
            // The new frame is kept; the one kept before goes back.
            back.index = static_cast<unsigned>(FHeld);
            FHeld = static_cast<int>(buf.index);
            FHeldBytes = buf.bytesused;
            FRawFresh = true;
            FHaveRaw = true;
            FRawTick = GetTickCount();
            Got = true;
        }
        if (static_cast<int>(back.index) >= 0 && Xioctl(FFd, VIDIOC_QBUF, &back) != 0) {
            if (errno == ENODEV) {
                Lose("is gone", errno);
                return false;
            }
            // The buffer is lost to the stream: start it again.
            Restart();
            return true;
        }
    }
    return true;
}

bool TV4l2Driver::ConvertHeld(TBitmap& Into)
{
    if (FHeld < 0 || !FConvert)
        return false;
    if (Into.Width() != FWidth || Into.Height() != FHeight)
        Into.SetSize(FWidth, FHeight);
    const TBuffer& b = FBuffers[static_cast<size_t>(FHeld)];
    return v4lconvert_convert(FConvert, &FSrcFmt, &FDstFmt, static_cast<unsigned char*>(b.Start),
                              static_cast<int>(std::min<size_t>(FHeldBytes, b.Length)), Into.Data(),
                              static_cast<int>(Into.ByteSize())) == static_cast<int>(Into.ByteSize());
}

bool TV4l2Driver::Convert()
{
    if (FRawFresh && FHeld >= 0 && FConvert) {
        FRawFresh = false;
        // An undecodable or short frame leaves the last picture as it was.
        if (Uncompressed() || ConvertHeld(FScratch)) {
            if (!Uncompressed())
                std::swap(FLatest, FScratch);
            FHaveFrame = true;
            FLatestTick = FRawTick;
        } else {
            ++FSkipped;
        }
    }
    return FHaveFrame;
}

bool TV4l2Driver::TakeLatest(TBitmap& Frame)
{
    if (!Uncompressed()) {
        Frame = FLatest;
        return true;
    }
    return ConvertHeld(Frame);
}

void TV4l2Driver::ServiceStream()
{
    if (FFd < 0 || !FStreaming)
        return;
    if (FHangUp) {
        Lose("hung up", ENODEV);
        return;
    }
    bool got;
    if (!Dequeue(got))
        return;
    if (got && FHeld >= 0) {
        const TBuffer& b = FBuffers[static_cast<size_t>(FHeld)];
        TRawFrame frame;
        frame.Format = FSrcFmt.fmt.pix.pixelformat;
        frame.Width = FWidth;
        frame.Height = FHeight;
        frame.BytesPerLine = static_cast<int>(FSrcFmt.fmt.pix.bytesperline);
        frame.Data = static_cast<const BYTE*>(b.Start);
        frame.Size = std::min<size_t>(FHeldBytes, b.Length);
        ReportRawFrame(frame);
        if (FFd < 0 || !FStreaming)
            return;
    }
    if (FWatching)
        ChangeDescriptor(FFd, EPOLLIN);
}

bool TV4l2Driver::WaitForFrame(int TimeoutMs)
{
    const DWORD start = GetTickCount();
    for (;;) {
        bool got;
        if (!Dequeue(got))
            return false;
        if (got)
            return true;
        const int left = TimeoutMs - static_cast<int>(GetTickCount() - start);
        if (left <= 0 || FFd < 0 || !FStreaming)
            return false;
        pollfd p{FFd, POLLIN, 0};
        const int r = poll(&p, 1, left);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
            Lose("hung up", r < 0 ? errno : ENODEV);
            return false;
        }
    }
}

void TV4l2Driver::NoSignal(TBitmap& Frame)
{
    const int w = FWidth > 0 ? FWidth : PreferredWidth, h = FHeight > 0 ? FHeight : PreferredHeight;
    if (FNoSignal.Width() != w || FNoSignal.Height() != h)
        DrawNoSignal(FNoSignal, w, h);
    Frame = FNoSignal;
}

bool TV4l2Driver::LatestFrame(TBitmap& Frame)
{
    Convert();
    if (FLost || GetTickCount() - (FHaveFrame ? FLatestTick : FStreamTick) >= StaleMs) {
        NoSignal(Frame);
        return true;
    }
    return FHaveFrame && TakeLatest(Frame);
}

bool TV4l2Driver::LatestYuyv(TRawFrame& Frame)
{
    if (FLost || FFd < 0 || FHeld < 0 || FPixelFormat != V4L2_PIX_FMT_YUYV || !FHaveRaw ||
        GetTickCount() - FRawTick >= StaleMs)
        return false;
    const size_t stride = std::max<size_t>(FSrcFmt.fmt.pix.bytesperline, static_cast<size_t>(FWidth) * 2);
    const TBuffer& b = FBuffers[static_cast<size_t>(FHeld)];
    // A short frame is no picture of this size.
    if (stride * static_cast<size_t>(FHeight) > std::min<size_t>(FHeldBytes, b.Length))
        return false;
    Frame = TRawFrame{V4L2_PIX_FMT_YUYV, FWidth, FHeight, static_cast<int>(stride), static_cast<const BYTE*>(b.Start),
                      stride * static_cast<size_t>(FHeight)};
    return true;
}

bool TV4l2Driver::GrabFrame(TBitmap& Frame)
{
    if (FFd < 0 && !FLost)
        return false;
    if (!FLost && FStreaming) {
        // A frame from within the last two periods is the current one;
        // otherwise wait at most two periods (and for the warm-up to end).
        bool got;
        if (Dequeue(got) && !(FHaveRaw && GetTickCount() - FRawTick <= 2u * FFramePeriodMs)) {
            int wait = 2 * FFramePeriodMs;
            if (!Settled())
                wait += static_cast<int>(WarmupMs - std::min(WarmupMs, GetTickCount() - FStreamTick)) +
                        FWarmup * FFramePeriodMs;
            WaitForFrame(wait);
        }
        if (FWatching)
            ChangeDescriptor(FFd, EPOLLIN);
        Convert();
    }
    if (!FLost && FHaveFrame && GetTickCount() - FLatestTick < StaleMs && TakeLatest(Frame))
        return true;
    NoSignal(Frame);
    return true;
}

void TV4l2Driver::Lose(const std::string& What, int Error)
{
    if (FLost)
        return;
    Disconnect();
    FLost = true;
    FSignalLost = true;  // told by the error below
    FHaveFrame = false;
    FSeenNodes.clear();
    ReportError(IDS_CAP_DEVICE_FAILED, "Capture device " + FPath + " (" + FCard + ") " + What + ": " + std::strerror(Error));
}

bool TV4l2Driver::Reconnect()
{
    // Only when the set of nodes changed since the last look: opening a
    // node can wake a camera.
    std::string seen;
    for (const auto& n : V4l2Nodes())
        seen += n + " ";
    if (seen == FSeenNodes)
        return false;
    FSeenNodes = seen;
    std::string path;
    for (const auto& d : ListV4l2Devices())
        if (d.Identity == FIdentity && (path.empty() || d.Path == FPath))
            path = d.Path;
    if (path.empty())
        return false;
    const std::string old = FPath;
    const int width = FWidth, height = FHeight;
    const uint32_t format = FPixelFormat;
    FPath = path;
    if (!Connect()) {
        FPath = old;
        return false;
    }
    if (width != FWidth || height != FHeight || format != FPixelFormat)
        SetFormat(width, height, format);
    if (!Begin()) {
        Disconnect();
        FPath = old;
        FSeenNodes.clear();
        return false;
    }
    Watch();
    FLost = false;
    FSignalLost = false;
    ReportStatus(IDS_CAP_DEVICE_RETURNED, "Capture device " + FPath + " (" + FCard + ") is back");
    return true;
}

void TV4l2Driver::Tick()
{
    if (FLost) {
        Reconnect();
        return;
    }
    // A device that went quiet may have gone without a hang-up.
    if (FFd >= 0 && (!FHaveRaw || GetTickCount() - FRawTick >= 1000)) {
        const auto nodes = V4l2Nodes();
        if (std::find(nodes.begin(), nodes.end(), FPath.substr(5)) == nodes.end())
            Lose("is gone", ENODEV);
    }
    WatchSignal();
}

void TV4l2Driver::WatchSignal()
{
    if (FFd < 0 || !FStreaming)
        return;
    // A frame that cannot be decoded is no picture either.
    Convert();
    const bool lost = GetTickCount() - (FHaveFrame ? FLatestTick : FStreamTick) >= StaleMs;
    if (lost == FSignalLost)
        return;
    FSignalLost = lost;
    const std::string device = "Capture device " + FPath + " (" + FCard + ")";
    if (lost)
        ReportError(IDS_CAP_NO_SIGNAL, device + " gives no picture: NO SIGNAL");
    else
        ReportStatus(IDS_CAP_SIGNAL_RETURNED, device + " gives pictures again");
}
