// A fake V4L2 camera for tests, loaded with LD_PRELOAD (or linked into a
// test program). It makes /dev/videoN nodes exist for this process only:
// libc open/openat/ioctl/close and opendir/readdir for the program's own
// device scan, syscall() for what libv4l2 does (openat, ioctl, mmap, close),
// and libc mmap/munmap/access for programs that drive V4L2 directly.
// A device descriptor is one end of a socketpair, readable while a filled
// buffer waits and hung up when the device is unplugged; buffers live in a
// memfd. Commands: see FakeCamera.h.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <cstdio>
#include <jpeglib.h>
#include <linux/videodev2.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

template <class F>
F Real(const char* Name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, Name));
}

using TSyscall = long (*)(long, ...);
using TOpen = int (*)(const char*, int, ...);
using TOpenAt = int (*)(int, const char*, int, ...);
using TClose = int (*)(int);
using TIoctl = int (*)(int, unsigned long, ...);
using TOpenDir = DIR* (*)(const char*);
using TReadDir = dirent* (*)(DIR*);
using TReadDir64 = dirent64* (*)(DIR*);
using TCloseDir = int (*)(DIR*);
using TMmap = void* (*)(void*, size_t, int, int, int, off_t);
using TMunmap = int (*)(void*, size_t);
using TAccess = int (*)(const char*, int);

TSyscall RealSyscall() { static TSyscall f = Real<TSyscall>("syscall"); return f; }
TOpen RealOpen() { static TOpen f = Real<TOpen>("open"); return f; }
TOpenAt RealOpenAt() { static TOpenAt f = Real<TOpenAt>("openat"); return f; }
TClose RealClose() { static TClose f = Real<TClose>("close"); return f; }
TIoctl RealIoctl() { static TIoctl f = Real<TIoctl>("ioctl"); return f; }
TOpenDir RealOpenDir() { static TOpenDir f = Real<TOpenDir>("opendir"); return f; }
TReadDir RealReadDir() { static TReadDir f = Real<TReadDir>("readdir"); return f; }
TReadDir64 RealReadDir64() { static TReadDir64 f = Real<TReadDir64>("readdir64"); return f; }
TCloseDir RealCloseDir() { static TCloseDir f = Real<TCloseDir>("closedir"); return f; }
TMmap RealMmap() { static TMmap f = Real<TMmap>("mmap"); return f; }
TMunmap RealMunmap() { static TMunmap f = Real<TMunmap>("munmap"); return f; }
TAccess RealAccess() { static TAccess f = Real<TAccess>("access"); return f; }

// A thread that takes no signals: the program decides which of its own
// threads handle them (signalfd in the main thread, say).
template <class... A>
std::thread QuietThread(A&&... Args)
{
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    std::thread t(std::forward<A>(Args)...);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return t;
}

struct TSize {
    uint32_t W, H;
};
constexpr TSize Sizes[] = {{320, 240}, {640, 480}, {1280, 720}};

struct TDevice {
    int Number = 0;
    std::string Kind, Bus, Card;
    bool Present = true;
    bool Busy = false;
    int ErrorFrames = 0, BadJpeg = 0, OddSize = 0, Dark = 0;
    bool Stalled = false;
    bool Block = false;  // a dark block moves across the picture
    int BlockStep = 0;
    uint8_t Colour[3] = {200, 120, 40};
    int Fps = 30;
    uint32_t PixFmt = 0, Width = 640, Height = 480;
    int Input = 0;
    long Opens = 0, StreamOns = 0, Frames = 0;
    bool Owned = false; // buffers held by one open file

    bool Meta() const { return Kind == "meta"; }
    std::vector<uint32_t> Formats() const
    {
        if (Kind == "mjpeg")
            return {V4L2_PIX_FMT_MJPEG};
        if (Kind == "both")
            return {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV};
        return {V4L2_PIX_FMT_YUYV};
    }
    int Inputs() const { return Kind == "inputs" ? 2 : 1; }
};

struct TBufferState {
    uint32_t BytesUsed = 0, Flags = 0, Sequence = 0;
    int Mapped = 0;  // mappings the program holds
    timeval Time{};
    std::string Content; // what the buffer holds now
};

struct TOpenFile {
    int Fd = -1, Peer = -1;
    int Number = 0;
    bool Blocking = false;
    int Memfd = -1;
    size_t BufSize = 0, BufStride = 0;
    std::vector<TBufferState> Buffers;
    std::deque<unsigned> Queued, Done;
    bool Streaming = false, Stop = false;
    uint32_t Sequence = 0;
    int SinceOn = 0;
    std::thread Worker;
    std::condition_variable Wake;
};

struct TState {
    std::mutex Lock;
    std::map<int, TDevice> Devices;
    std::map<int, std::shared_ptr<TOpenFile>> Files;
    std::map<DIR*, size_t> DevDirs; // /dev listings: next made-up entry
    std::map<std::string, std::string> Jpegs;
    // Program mappings of buffers: address -> descriptor and buffer.
    std::map<uintptr_t, std::pair<int, unsigned>> Maps;
};

TState& State()
{
    static TState* s = new TState;
    return *s;
}

// The node number of a /dev/videoN path, or -1.
int NodeOf(const char* Path)
{
    if (!Path || std::strncmp(Path, "/dev/video", 10) != 0)
        return -1;
    const char* p = Path + 10;
    if (!*p)
        return -1;
    int n = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9')
            return -1;
        n = n * 10 + (*p - '0');
    }
    return n;
}

size_t ImageSize(const TDevice& d, uint32_t W, uint32_t H)
{
    (void)d;
    return static_cast<size_t>(W) * H * 2;
}

// Where the moving block lies in a W x H frame at Step: a square of a
// quarter of the height, one fortieth of the width further each frame.
struct TBlock {
    uint32_t Left = 0, Right = 0, Top = 0, Bottom = 0;
    bool Has(uint32_t X, uint32_t Y) const { return X >= Left && X < Right && Y >= Top && Y < Bottom; }
};
TBlock BlockAt(uint32_t W, uint32_t H, int Step)
{
    const uint32_t side = H / 4;
    TBlock b;
    b.Left = static_cast<uint32_t>(Step % 40) * W / 40;
    b.Right = std::min(W, b.Left + side);
    b.Top = (H - side) / 2;
    b.Bottom = b.Top + side;
    return b;
}

std::string EncodeJpeg(uint32_t W, uint32_t H, const uint8_t* Rgb, const TBlock& Block = {})
{
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &out, &size);
    c.image_width = W;
    c.image_height = H;
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 85, TRUE);
    jpeg_start_compress(&c, TRUE);
    std::vector<uint8_t> row(static_cast<size_t>(W) * 3), blockRow(row.size());
    for (uint32_t x = 0; x < W; ++x) {
        std::memcpy(&row[x * 3], Rgb, 3);
        for (int k = 0; k < 3; ++k)
            blockRow[x * 3 + k] = Block.Has(x, Block.Top) ? 0 : Rgb[k];
    }
    while (c.next_scanline < H) {
        JSAMPROW r = Block.Has(Block.Left, c.next_scanline) ? blockRow.data() : row.data();
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    std::string jpeg(reinterpret_cast<char*>(out), size);
    jpeg_destroy_compress(&c);
    free(out);
    return jpeg;
}

// Fills buffer Index of F with the device's next frame. Called with the lock.
void MakeFrame(TState& s, TDevice& d, TOpenFile& f, unsigned Index)
{
    TBufferState& b = f.Buffers[Index];
    uint8_t rgb[3] = {d.Colour[0], d.Colour[1], d.Colour[2]};
    if (d.Input == 1)
        for (auto& c : rgb)
            c = static_cast<uint8_t>(255 - c);
    if (f.SinceOn < d.Dark)
        rgb[0] = rgb[1] = rgb[2] = 0;
    ++f.SinceOn;
    uint32_t w = d.Width, h = d.Height;
    if (d.OddSize > 0) {
        --d.OddSize;
        w /= 2;
        h /= 2;
    }
    b.Flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_DONE;
    if (d.ErrorFrames > 0) {
        --d.ErrorFrames;
        b.Flags |= V4L2_BUF_FLAG_ERROR;
    }
    uint8_t* base = static_cast<uint8_t*>(RealMmap()(nullptr, f.BufSize, PROT_READ | PROT_WRITE, MAP_SHARED, f.Memfd,
                                               static_cast<off_t>(Index * f.BufStride)));
    if (base == MAP_FAILED)
        return;
    TBlock block;
    if (d.Block)
        block = BlockAt(w, h, d.BlockStep++);
    char key[96];
    std::snprintf(key, sizeof key, "%08x %ux%u %d,%d,%d %u", d.PixFmt, w, h, rgb[0], rgb[1], rgb[2], block.Left + block.Right);
    if (d.PixFmt == V4L2_PIX_FMT_MJPEG && d.BadJpeg > 0) {
        --d.BadJpeg;
        // A start-of-image marker followed by noise.
        const size_t n = std::min<size_t>(4096, f.BufSize);
        base[0] = 0xFF;
        base[1] = 0xD8;
        for (size_t i = 2; i < n; ++i)
            base[i] = static_cast<uint8_t>((i * 7919u) >> 3);
        b.BytesUsed = static_cast<uint32_t>(n);
        b.Content.clear();
    } else if (d.PixFmt == V4L2_PIX_FMT_MJPEG) {
        std::string& jpeg = s.Jpegs[key];
        if (jpeg.empty())
            jpeg = EncodeJpeg(w, h, rgb, block);
        const size_t n = std::min(jpeg.size(), f.BufSize);
        if (b.Content != key)
            std::memcpy(base, jpeg.data(), n);
        b.BytesUsed = static_cast<uint32_t>(n);
        b.Content = key;
    } else {
        const size_t n = std::min(static_cast<size_t>(w) * h * 2, f.BufSize);
        if (b.Content != key) {
            const double y = 0.299 * rgb[0] + 0.587 * rgb[1] + 0.114 * rgb[2];
            const auto clamp = [](double v) { return static_cast<uint8_t>(std::clamp(v, 0.0, 255.0) + 0.5); };
            const uint8_t Y = clamp(16 + y * 219 / 255);
            const uint8_t U = clamp(128 + (rgb[2] - y) * 0.564 * 224 / 255);
            const uint8_t V = clamp(128 + (rgb[0] - y) * 0.713 * 224 / 255);
            const uint8_t quad[4] = {Y, U, Y, V};
            for (size_t i = 0; i + 4 <= n; i += 4)
                std::memcpy(base + i, quad, 4);
            for (uint32_t y = block.Top; y < block.Bottom; ++y)
                for (uint32_t x = block.Left & ~1u; x + 1 < block.Right && (y * w + x) * 2 + 4 <= n; x += 2) {
                    base[(y * w + x) * 2] = 16;
                    base[(y * w + x) * 2 + 2] = 16;
                }
        }
        b.BytesUsed = static_cast<uint32_t>(n);
        b.Content = key;
    }
    RealMunmap()(base, f.BufSize);
    b.Sequence = f.Sequence++;
    gettimeofday(&b.Time, nullptr);
    ++d.Frames;
}

void RunStream(std::shared_ptr<TOpenFile> f)
{
    TState& s = State();
    std::unique_lock lock(s.Lock);
    auto next = std::chrono::steady_clock::now();
    while (!f->Stop) {
        auto dev = s.Devices.find(f->Number);
        if (dev == s.Devices.end() || !dev->second.Present)
            break;
        next += std::chrono::microseconds(1000000 / std::max(1, dev->second.Fps));
        f->Wake.wait_until(lock, next, [&] { return f->Stop; });
        if (f->Stop)
            break;
        dev = s.Devices.find(f->Number);
        if (dev == s.Devices.end() || !dev->second.Present)
            break;
        if (dev->second.Stalled)
            continue;
        if (f->Queued.empty()) {
            ++f->Sequence; // dropped: no buffer
            continue;
        }
        const unsigned index = f->Queued.front();
        f->Queued.pop_front();
        MakeFrame(s, dev->second, *f, index);
        f->Done.push_back(index);
        const char one = 1;
        if (f->Peer >= 0 && send(f->Peer, &one, 1, MSG_DONTWAIT | MSG_NOSIGNAL) != 1) {
            // The reader end is full: it will still see the waiting frames.
        }
        f->Wake.notify_all();
    }
}

void StopWorker(std::unique_lock<std::mutex>& Lock, TOpenFile& f)
{
    f.Stop = true;
    f.Wake.notify_all();
    if (f.Worker.joinable()) {
        std::thread t = std::move(f.Worker);
        Lock.unlock();
        t.join();
        Lock.lock();
    }
    f.Stop = false;
}

void DrainSignal(TOpenFile& f)
{
    char buf[64];
    while (recv(f.Fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

void FillFormat(const TDevice& d, v4l2_format& fmt)
{
    fmt.fmt.pix.width = d.Width;
    fmt.fmt.pix.height = d.Height;
    fmt.fmt.pix.pixelformat = d.PixFmt;
    fmt.fmt.pix.field = V4L2_FIELD_NONE;
    fmt.fmt.pix.bytesperline = d.PixFmt == V4L2_PIX_FMT_YUYV ? d.Width * 2 : 0;
    fmt.fmt.pix.sizeimage = static_cast<uint32_t>(ImageSize(d, d.Width, d.Height));
    fmt.fmt.pix.colorspace = V4L2_COLORSPACE_SRGB;
}

void TryFormat(const TDevice& d, v4l2_format& fmt, TDevice& Out)
{
    Out = d;
    auto formats = d.Formats();
    Out.PixFmt = std::find(formats.begin(), formats.end(), fmt.fmt.pix.pixelformat) != formats.end()
                     ? fmt.fmt.pix.pixelformat
                     : formats.front();
    const TSize* best = &Sizes[0];
    long bestDiff = -1;
    for (const auto& sz : Sizes) {
        long diff = std::labs(static_cast<long>(sz.W) - static_cast<long>(fmt.fmt.pix.width)) +
                    std::labs(static_cast<long>(sz.H) - static_cast<long>(fmt.fmt.pix.height));
        if (bestDiff < 0 || diff < bestDiff) {
            bestDiff = diff;
            best = &sz;
        }
    }
    Out.Width = best->W;
    Out.Height = best->H;
    std::memset(&fmt.fmt, 0, sizeof fmt.fmt);
    FillFormat(Out, fmt);
}

void CopyName(uint8_t* Dest, size_t Size, const std::string& Text)
{
    std::memset(Dest, 0, Size);
    std::memcpy(Dest, Text.data(), std::min(Size - 1, Text.size()));
}

// The V4L2 requests. Returns 0 or an errno value.
int Request(std::unique_lock<std::mutex>& Lock, std::shared_ptr<TOpenFile> fp, unsigned long Req, void* Arg)
{
    TState& s = State();
    TOpenFile& f = *fp;
    auto it = s.Devices.find(f.Number);
    if (it == s.Devices.end() || !it->second.Present || f.Peer < 0)
        return ENODEV;
    TDevice& d = it->second;
    if (!Arg)
        return EFAULT;
    switch (Req) {
    case VIDIOC_QUERYCAP: {
        auto* cap = static_cast<v4l2_capability*>(Arg);
        std::memset(cap, 0, sizeof *cap);
        CopyName(cap->driver, sizeof cap->driver, "fakecam");
        CopyName(cap->card, sizeof cap->card, d.Card);
        CopyName(cap->bus_info, sizeof cap->bus_info, d.Bus);
        cap->version = (6u << 16) | (1u << 8) | 7u;
        cap->device_caps = (d.Meta() ? V4L2_CAP_META_CAPTURE : V4L2_CAP_VIDEO_CAPTURE) | V4L2_CAP_STREAMING;
        cap->capabilities = cap->device_caps | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    default: break;
    }
    if (d.Meta()) {
        if (Req == VIDIOC_ENUM_FMT) {
            auto* e = static_cast<v4l2_fmtdesc*>(Arg);
            if (e->type != V4L2_BUF_TYPE_META_CAPTURE || e->index > 0)
                return EINVAL;
            e->pixelformat = v4l2_fourcc('U', 'V', 'C', 'H');
            CopyName(e->description, sizeof e->description, "UVC Payload Header Metadata");
            return 0;
        }
        return Req == VIDIOC_G_FMT || Req == VIDIOC_S_FMT || Req == VIDIOC_TRY_FMT || Req == VIDIOC_REQBUFS ? EINVAL
                                                                                                              : ENOTTY;
    }
    switch (Req) {
    case VIDIOC_ENUM_FMT: {
        auto* e = static_cast<v4l2_fmtdesc*>(Arg);
        auto formats = d.Formats();
        if (e->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || e->index >= formats.size())
            return EINVAL;
        e->pixelformat = formats[e->index];
        e->flags = e->pixelformat == V4L2_PIX_FMT_MJPEG ? V4L2_FMT_FLAG_COMPRESSED : 0;
        CopyName(e->description, sizeof e->description, e->pixelformat == V4L2_PIX_FMT_MJPEG ? "Motion-JPEG" : "YUYV 4:2:2");
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        auto* e = static_cast<v4l2_frmsizeenum*>(Arg);
        auto formats = d.Formats();
        if (std::find(formats.begin(), formats.end(), e->pixel_format) == formats.end() || e->index >= std::size(Sizes))
            return EINVAL;
        e->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        e->discrete.width = Sizes[e->index].W;
        e->discrete.height = Sizes[e->index].H;
        return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
        auto* e = static_cast<v4l2_frmivalenum*>(Arg);
        if (e->index > 0)
            return EINVAL;
        e->type = V4L2_FRMIVAL_TYPE_DISCRETE;
        e->discrete.numerator = 1;
        e->discrete.denominator = static_cast<uint32_t>(d.Fps);
        return 0;
    }
    case VIDIOC_G_FMT: {
        auto* fmt = static_cast<v4l2_format*>(Arg);
        if (fmt->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return EINVAL;
        std::memset(&fmt->fmt, 0, sizeof fmt->fmt);
        FillFormat(d, *fmt);
        return 0;
    }
    case VIDIOC_TRY_FMT:
    case VIDIOC_S_FMT: {
        auto* fmt = static_cast<v4l2_format*>(Arg);
        if (fmt->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return EINVAL;
        if (Req == VIDIOC_S_FMT && (d.Busy || (d.Owned && f.Buffers.empty()) || !f.Buffers.empty()))
            return EBUSY;
        TDevice chosen;
        TryFormat(d, *fmt, chosen);
        if (Req == VIDIOC_S_FMT) {
            d.PixFmt = chosen.PixFmt;
            d.Width = chosen.Width;
            d.Height = chosen.Height;
        }
        return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
        auto* p = static_cast<v4l2_streamparm*>(Arg);
        if (p->type != V4L2_BUF_TYPE_VIDEO_CAPTURE)
            return EINVAL;
        std::memset(&p->parm, 0, sizeof p->parm);
        p->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
        p->parm.capture.timeperframe = {1, static_cast<uint32_t>(d.Fps)};
        p->parm.capture.readbuffers = 0;
        return 0;
    }
    case VIDIOC_ENUMINPUT: {
        auto* in = static_cast<v4l2_input*>(Arg);
        if (in->index >= static_cast<uint32_t>(d.Inputs()))
            return EINVAL;
        const uint32_t index = in->index;
        std::memset(in, 0, sizeof *in);
        in->index = index;
        in->type = V4L2_INPUT_TYPE_CAMERA;
        CopyName(in->name, sizeof in->name, index == 0 ? "Camera 1" : "Composite");
        return 0;
    }
    case VIDIOC_G_INPUT: *static_cast<int*>(Arg) = d.Input; return 0;
    case VIDIOC_S_INPUT: {
        const int v = *static_cast<int*>(Arg);
        if (v < 0 || v >= d.Inputs())
            return EINVAL;
        if (f.Streaming)
            return EBUSY;
        d.Input = v;
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto* r = static_cast<v4l2_requestbuffers*>(Arg);
        if (r->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || r->memory != V4L2_MEMORY_MMAP)
            return EINVAL;
        if (d.Busy || (d.Owned && f.Buffers.empty()))
            return EBUSY;
        for (const auto& b : f.Buffers)
            if (b.Mapped > 0)
                return EBUSY;
        if (f.Streaming) {
            StopWorker(Lock, f);
            f.Streaming = false;
        }
        f.Queued.clear();
        f.Done.clear();
        DrainSignal(f);
        f.Buffers.clear();
        if (f.Memfd >= 0)
            RealClose()(f.Memfd);
        f.Memfd = -1;
        d.Owned = false;
        if (r->count == 0)
            return 0;
        r->count = std::clamp<uint32_t>(r->count, 2, 8);
        f.BufSize = ImageSize(d, d.Width, d.Height);
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        f.BufStride = (f.BufSize + page - 1) / page * page;
        f.Memfd = static_cast<int>(RealSyscall()(SYS_memfd_create, "fakecam", MFD_CLOEXEC));
        if (f.Memfd < 0 || ftruncate(f.Memfd, static_cast<off_t>(f.BufStride * r->count)) != 0)
            return ENOMEM;
        f.Buffers.resize(r->count);
        r->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
        d.Owned = true;
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
        auto* b = static_cast<v4l2_buffer*>(Arg);
        if (b->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || b->memory != V4L2_MEMORY_MMAP)
            return EINVAL;
        if (Req == VIDIOC_DQBUF) {
            if (!f.Streaming)
                return EINVAL;
            if (f.Done.empty() && !f.Blocking)
                return EAGAIN;
            while (f.Done.empty()) {
                f.Wake.wait_for(Lock, std::chrono::milliseconds(100));
                auto again = s.Devices.find(f.Number);
                if (again == s.Devices.end() || !again->second.Present || !f.Streaming)
                    return ENODEV;
            }
            const unsigned index = f.Done.front();
            f.Done.pop_front();
            char one;
            recv(f.Fd, &one, 1, MSG_DONTWAIT);
            const TBufferState& st = f.Buffers[index];
            b->index = index;
            b->bytesused = st.BytesUsed;
            b->flags = st.Flags;
            b->field = V4L2_FIELD_NONE;
            b->timestamp = st.Time;
            b->sequence = st.Sequence;
            b->length = static_cast<uint32_t>(f.BufSize);
            b->m.offset = static_cast<uint32_t>(index * f.BufStride);
            return 0;
        }
        if (b->index >= f.Buffers.size())
            return EINVAL;
        b->length = static_cast<uint32_t>(f.BufSize);
        b->m.offset = static_cast<uint32_t>(b->index * f.BufStride);
        if (Req == VIDIOC_QUERYBUF) {
            b->flags = f.Buffers[b->index].Mapped > 0 ? V4L2_BUF_FLAG_MAPPED : 0;
            if (std::find(f.Queued.begin(), f.Queued.end(), b->index) != f.Queued.end())
                b->flags |= V4L2_BUF_FLAG_QUEUED;
            if (std::find(f.Done.begin(), f.Done.end(), b->index) != f.Done.end())
                b->flags |= V4L2_BUF_FLAG_DONE;
            return 0;
        }
        if (std::find(f.Queued.begin(), f.Queued.end(), b->index) != f.Queued.end() ||
            std::find(f.Done.begin(), f.Done.end(), b->index) != f.Done.end())
            return EINVAL;
        f.Queued.push_back(b->index);
        b->flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_QUEUED;
        return 0;
    }
    case VIDIOC_STREAMON: {
        if (f.Buffers.empty())
            return EINVAL;
        if (f.Streaming)
            return 0;
        f.Streaming = true;
        f.SinceOn = 0;
        ++d.StreamOns;
        f.Worker = QuietThread(RunStream, fp);
        return 0;
    }
    case VIDIOC_STREAMOFF: {
        if (f.Streaming) {
            StopWorker(Lock, f);
            f.Streaming = false;
        }
        f.Queued.clear();
        f.Done.clear();
        DrainSignal(f);
        return 0;
    }
    case VIDIOC_QUERYCTRL:
    case VIDIOC_QUERY_EXT_CTRL:
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL:
    case VIDIOC_QUERYMENU: return EINVAL;
    default: return ENOTTY;
    }
}

std::shared_ptr<TOpenFile> FindFile(int Fd)
{
    TState& s = State();
    auto it = s.Files.find(Fd);
    return it == s.Files.end() ? nullptr : it->second;
}

// Opens node N; the descriptor or -1 with errno.
int OpenNode(int N, int Flags)
{
    TState& s = State();
    std::lock_guard lock(s.Lock);
    auto it = s.Devices.find(N);
    if (it == s.Devices.end() || !it->second.Present) {
        errno = ENOENT;
        return -1;
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | ((Flags & O_CLOEXEC) ? SOCK_CLOEXEC : 0), 0, sv) != 0)
        return -1;
    fcntl(sv[1], F_SETFD, FD_CLOEXEC);
    // A capture device is never writable: fill the unused direction.
    const int small = 1;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const char fill[512] = {};
    while (send(sv[0], fill, sizeof fill, MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
    }
    if (Flags & O_NONBLOCK)
        fcntl(sv[0], F_SETFL, O_NONBLOCK);
    auto f = std::make_shared<TOpenFile>();
    f->Fd = sv[0];
    f->Peer = sv[1];
    f->Number = N;
    f->Blocking = !(Flags & O_NONBLOCK);
    s.Files[sv[0]] = f;
    ++it->second.Opens;
    return sv[0];
}

bool CloseFile(int Fd)
{
    TState& s = State();
    std::unique_lock lock(s.Lock);
    auto f = FindFile(Fd);
    if (!f)
        return false;
    StopWorker(lock, *f);
    auto it = s.Devices.find(f->Number);
    if (it != s.Devices.end() && !f->Buffers.empty())
        it->second.Owned = false;
    if (f->Memfd >= 0)
        RealClose()(f->Memfd);
    if (f->Peer >= 0)
        RealClose()(f->Peer);
    for (auto m = s.Maps.begin(); m != s.Maps.end();)
        m = m->second.first == Fd ? s.Maps.erase(m) : std::next(m);
    s.Files.erase(Fd);
    return true;
}

int DoIoctl(int Fd, unsigned long Req, void* Arg, bool& Handled)
{
    TState& s = State();
    std::unique_lock lock(s.Lock);
    auto f = FindFile(Fd);
    Handled = f != nullptr;
    if (!f)
        return 0;
    Req = static_cast<unsigned int>(Req); // the kernel takes 32 bits, some callers sign-extend them
    const int err = Request(lock, f, Req, Arg);
    static const bool trace = std::getenv("FAKECAM_TRACE") != nullptr;
    if (trace)
        std::fprintf(stderr, "fakecam: fd %d request %08lx: %s\n", Fd, Req, err ? std::strerror(err) : "ok");
    if (err) {
        errno = err;
        return -1;
    }
    return 0;
}

// Unplug: the device goes, every open descriptor hangs up.
void Unplug(TDevice& d)
{
    TState& s = State();
    d.Present = false;
    d.Owned = false;
    for (auto& [fd, f] : s.Files)
        if (f->Number == d.Number) {
            f->Stop = true;
            f->Wake.notify_all();
            if (f->Peer >= 0)
                RealClose()(f->Peer);
            f->Peer = -1;
        }
}

int Command(const std::string& Line)
{
    std::istringstream in(Line);
    std::string verb;
    int n = -1;
    if (!(in >> verb))
        return 0;
    TState& s = State();
    std::lock_guard lock(s.Lock);
    if (verb == "clear") {
        for (auto& [num, d] : s.Devices)
            Unplug(d);
        s.Devices.clear();
        return 0;
    }
    if (!(in >> n) || n < 0)
        return -1;
    if (verb == "add") {
        TDevice d;
        d.Number = n;
        if (!(in >> d.Kind >> d.Bus))
            return -1;
        std::getline(in >> std::ws, d.Card);
        if (d.Card.empty())
            d.Card = "Fake Camera " + std::to_string(n);
        d.PixFmt = d.Formats().front();
        s.Devices[n] = d;
        return 0;
    }
    auto it = s.Devices.find(n);
    if (it == s.Devices.end())
        return -1;
    TDevice& d = it->second;
    long v = 0;
    if (verb == "remove") {
        Unplug(d);
        s.Devices.erase(it);
    } else if (verb == "unplug") {
        Unplug(d);
    } else if (verb == "replug") {
        d.Present = true;
    } else if (verb == "colour") {
        int r, g, b;
        if (!(in >> r >> g >> b))
            return -1;
        d.Colour[0] = static_cast<uint8_t>(r);
        d.Colour[1] = static_cast<uint8_t>(g);
        d.Colour[2] = static_cast<uint8_t>(b);
    } else if (in >> v) {
        if (verb == "busy")
            d.Busy = v != 0;
        else if (verb == "errors")
            d.ErrorFrames = static_cast<int>(v);
        else if (verb == "badjpeg")
            d.BadJpeg = static_cast<int>(v);
        else if (verb == "oddsize")
            d.OddSize = static_cast<int>(v);
        else if (verb == "stall")
            d.Stalled = v != 0;
        else if (verb == "block")
            d.Block = v != 0;
        else if (verb == "dark")
            d.Dark = static_cast<int>(v);
        else if (verb == "fps")
            d.Fps = std::max(1, static_cast<int>(v));
        else
            return -1;
    } else {
        return -1;
    }
    return 0;
}

// Commands from the file named by FAKECAM_CONTROL: what it holds now, then
// whatever is appended.
void FollowControlFile(std::string Path, int Notify)
{
    size_t done = 0;
    std::string pending;
    for (;;) {
        int fd = RealOpen()(Path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            char buf[4096];
            std::string all;
            ssize_t r;
            while ((r = read(fd, buf, sizeof buf)) > 0)
                all.append(buf, static_cast<size_t>(r));
            RealClose()(fd);
            size_t end = all.rfind('\n');
            if (end != std::string::npos && end + 1 > done) {
                std::istringstream lines(all.substr(done, end + 1 - done));
                for (std::string line; std::getline(lines, line);)
                    Command(line);
                done = end + 1;
            }
        }
        if (Notify < 0)
            return;
        char ev[4096];
        if (read(Notify, ev, sizeof ev) <= 0 && errno != EINTR)
            return;
    }
}

struct TLoader {
    TLoader()
    {
        const char* path = std::getenv("FAKECAM_CONTROL");
        if (!path || !*path)
            return;
        FollowControlFile(path, -1);
        int notify = inotify_init1(IN_CLOEXEC);
        if (notify < 0 || inotify_add_watch(notify, path, IN_MODIFY | IN_CLOSE_WRITE) < 0)
            return;
        QuietThread(FollowControlFile, std::string(path), notify).detach();
    }
} gLoader;

template <class TEntry>
TEntry* MadeUpEntry(DIR* Dir)
{
    TState& s = State();
    std::lock_guard lock(s.Lock);
    auto it = s.DevDirs.find(Dir);
    if (it == s.DevDirs.end())
        return nullptr;
    size_t i = 0;
    for (auto& [n, d] : s.Devices) {
        if (!d.Present)
            continue;
        if (i++ < it->second)
            continue;
        ++it->second;
        static thread_local TEntry entry;
        std::memset(&entry, 0, sizeof entry);
        entry.d_ino = 900000 + static_cast<unsigned>(n);
        entry.d_type = DT_CHR;
        entry.d_reclen = sizeof entry;
        std::snprintf(entry.d_name, sizeof entry.d_name, "video%d", n);
        return &entry;
    }
    return nullptr;
}

// A mapping of a fake device's buffer (Handled set), mapped from its memfd.
void* MapBuffer(void* Addr, size_t Length, int Prot, int Flags, int Fd, off_t Offset, bool& Handled)
{
    TState& s = State();
    std::lock_guard lock(s.Lock);
    auto f = FindFile(Fd);
    Handled = f != nullptr;
    if (!f)
        return MAP_FAILED;
    if (f->Memfd < 0 || f->Peer < 0) {
        errno = f->Peer < 0 ? ENODEV : EINVAL;
        return MAP_FAILED;
    }
    void* p = RealMmap()(Addr, Length, Prot, Flags, f->Memfd, Offset);
    const size_t index = f->BufStride ? static_cast<size_t>(Offset) / f->BufStride : 0;
    if (p != MAP_FAILED && index < f->Buffers.size()) {
        ++f->Buffers[index].Mapped;
        s.Maps[reinterpret_cast<uintptr_t>(p)] = {f->Fd, static_cast<unsigned>(index)};
    }
    return p;
}

// Forgets a buffer mapping that is about to be unmapped.
void ForgetMapping(void* Addr)
{
    TState& s = State();
    std::lock_guard lock(s.Lock);
    auto m = s.Maps.find(reinterpret_cast<uintptr_t>(Addr));
    if (m != s.Maps.end()) {
        if (auto f = FindFile(m->second.first); f && m->second.second < f->Buffers.size())
            --f->Buffers[m->second.second].Mapped;
        s.Maps.erase(m);
    }
}

// The mode argument of an open call, present only with these flags.
mode_t OpenMode(int Flags, va_list ap)
{
    return (Flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

// Path opened as a fake node when it names one, else by Real.
template <class TReal>
int OpenPath(const char* Path, int Flags, TReal Real)
{
    const int n = NodeOf(Path);
    return n >= 0 ? OpenNode(n, Flags) : Real();
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) int fakecam_control(const char* Line) { return Line ? Command(Line) : -1; }

__attribute__((visibility("default"))) long fakecam_count(const char* What, int Node)
{
    TState& s = State();
    std::lock_guard lock(s.Lock);
    auto it = s.Devices.find(Node);
    if (!What || it == s.Devices.end())
        return -1;
    const std::string w = What;
    return w == "opens"       ? it->second.Opens
           : w == "streamons" ? it->second.StreamOns
           : w == "frames"    ? it->second.Frames
           : w == "format"    ? static_cast<long>(it->second.PixFmt)
                              : -1;
}

__attribute__((visibility("default"))) int open(const char* Path, int Flags, ...)
{
    va_list ap;
    va_start(ap, Flags);
    const mode_t mode = OpenMode(Flags, ap);
    va_end(ap);
    return OpenPath(Path, Flags, [&] { return RealOpen()(Path, Flags, mode); });
}

__attribute__((visibility("default"))) int open64(const char* Path, int Flags, ...)
{
    va_list ap;
    va_start(ap, Flags);
    const mode_t mode = OpenMode(Flags, ap);
    va_end(ap);
    return OpenPath(Path, Flags, [&] { return RealOpen()(Path, Flags | O_LARGEFILE, mode); });
}

__attribute__((visibility("default"))) int openat(int Dir, const char* Path, int Flags, ...)
{
    va_list ap;
    va_start(ap, Flags);
    const mode_t mode = OpenMode(Flags, ap);
    va_end(ap);
    return OpenPath(Path, Flags, [&] { return RealOpenAt()(Dir, Path, Flags, mode); });
}

__attribute__((visibility("default"))) int close(int Fd)
{
    CloseFile(Fd);
    return RealClose()(Fd);
}

__attribute__((visibility("default"))) int ioctl(int Fd, unsigned long Req, ...)
{
    va_list ap;
    va_start(ap, Req);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    bool handled;
    const int r = DoIoctl(Fd, Req, arg, handled);
    return handled ? r : RealIoctl()(Fd, Req, arg);
}

__attribute__((visibility("default"))) long syscall(long Number, ...)
{
    va_list ap;
    va_start(ap, Number);
    long a[6];
    for (long& x : a)
        x = va_arg(ap, long);
    va_end(ap);
    switch (Number) {
    case SYS_open: {
        const int n = NodeOf(reinterpret_cast<const char*>(a[0]));
        if (n >= 0)
            return OpenNode(n, static_cast<int>(a[1]));
        break;
    }
    case SYS_openat: {
        const int n = NodeOf(reinterpret_cast<const char*>(a[1]));
        if (n >= 0)
            return OpenNode(n, static_cast<int>(a[2]));
        break;
    }
    case SYS_close:
        CloseFile(static_cast<int>(a[0]));
        break;
    case SYS_ioctl: {
        bool handled;
        const int r = DoIoctl(static_cast<int>(a[0]), static_cast<unsigned long>(a[1]), reinterpret_cast<void*>(a[2]), handled);
        if (handled)
            return r;
        break;
    }
    case SYS_mmap: {
        bool handled;
        void* p = MapBuffer(reinterpret_cast<void*>(a[0]), static_cast<size_t>(a[1]), static_cast<int>(a[2]),
                            static_cast<int>(a[3]), static_cast<int>(a[4]), static_cast<off_t>(a[5]), handled);
        if (handled)
            return reinterpret_cast<long>(p);
        break;
    }
    case SYS_munmap:
        ForgetMapping(reinterpret_cast<void*>(a[0]));
        break;
    default: break;
    }
    return RealSyscall()(Number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

__attribute__((visibility("default"))) void* mmap(void* Addr, size_t Length, int Prot, int Flags, int Fd, off_t Offset)
{
    if (Fd >= 0) {
        bool handled;
        void* p = MapBuffer(Addr, Length, Prot, Flags, Fd, Offset, handled);
        if (handled)
            return p;
    }
    return RealMmap()(Addr, Length, Prot, Flags, Fd, Offset);
}

__attribute__((visibility("default"))) void* mmap64(void* Addr, size_t Length, int Prot, int Flags, int Fd, off_t Offset)
{
    return mmap(Addr, Length, Prot, Flags, Fd, Offset);
}

__attribute__((visibility("default"))) int munmap(void* Addr, size_t Length)
{
    ForgetMapping(Addr);
    return RealMunmap()(Addr, Length);
}

__attribute__((visibility("default"))) int access(const char* Path, int Mode)
{
    const int n = NodeOf(Path);
    if (n < 0)
        return RealAccess()(Path, Mode);
    TState& s = State();
    std::lock_guard lock(s.Lock);
    auto it = s.Devices.find(n);
    if (it == s.Devices.end() || !it->second.Present) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

__attribute__((visibility("default"))) DIR* opendir(const char* Path)
{
    DIR* d = RealOpenDir()(Path);
    const std::string path = Path;
    if (d && (path == "/dev" || path == "/dev/")) {
        TState& s = State();
        std::lock_guard lock(s.Lock);
        s.DevDirs[d] = 0;
    }
    return d;
}

__attribute__((visibility("default"))) dirent* readdir(DIR* Dir)
{
    if (dirent* e = RealReadDir()(Dir))
        return e;
    return MadeUpEntry<dirent>(Dir);
}

__attribute__((visibility("default"))) dirent64* readdir64(DIR* Dir)
{
    if (dirent64* e = RealReadDir64()(Dir))
        return e;
    return MadeUpEntry<dirent64>(Dir);
}

__attribute__((visibility("default"))) int closedir(DIR* Dir)
{
    {
        TState& s = State();
        std::lock_guard lock(s.Lock);
        s.DevDirs.erase(Dir);
    }
    return RealCloseDir()(Dir);
}

} // extern "C"
