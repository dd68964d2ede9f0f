#include "app/Stream.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include "app/Snapshot.h"
#include "imaging/JpegWriter.h"
#include "imaging/PixelView.h"

namespace {

const std::string PartEnd = "\r\n";

std::string StreamHeader()
{
    return std::string("HTTP/1.0 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=") + StreamBoundary +
           "\r\nCache-Control: no-store\r\nPragma: no-cache\r\n\r\n";
}

// "action=Value" among the &-separated parameters.
bool HasAction(const std::string& Params, const std::string& Value)
{
    const std::string want = "action=" + Value;
    size_t start = 0;
    while (start <= Params.size()) {
        size_t end = Params.find('&', start);
        if (end == std::string::npos)
            end = Params.size();
        if (Params.compare(start, end - start, want) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace

TStreamAddress StreamAddressOf(const std::string& Path, const std::string& Params)
{
    if (Path == "/snapshot" || (Path == "/" && HasAction(Params, "snapshot")))
        return saSnapshot;
    if (Path == "/stream" || (Path == "/" && HasAction(Params, "stream")))
        return saStream;
    return saNone;
}

std::string TLiveStream::MakePart(const std::vector<uint8_t>& Jpeg)
{
    std::string part = std::string("--") + StreamBoundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                       std::to_string(Jpeg.size()) + "\r\n\r\n";
    part.append(reinterpret_cast<const char*>(Jpeg.data()), Jpeg.size());
    part += PartEnd;
    return part;
}

TLiveStream::TLiveStream(TFrameGrabber* Grabber, std::function<TStreamLook()> Look)
    : FGrabber(Grabber), FLook(std::move(Look))
{
}

TLiveStream::~TLiveStream()
{
    // The connections outlive this object: nothing of it may be called.
    for (auto& c : FClients) {
        c->Conn->OnDataSent = nullptr;
        c->Conn->OnServerStop = nullptr;
    }
    Watch(false);
}

void TLiveStream::SetMaxFps(int Value) { FMaxFps = Value < 1 ? StreamDefaultFps : std::min(Value, 60); }

void TLiveStream::SetMaxClients(int Value) { FMaxClients = Value < 1 ? StreamDefaultClients : Value; }

TLiveStream::TClient* TLiveStream::Find(THttpConnection* Client)
{
    for (auto& c : FClients)
        if (c->Conn == Client)
            return c.get();
    return nullptr;
}

void TLiveStream::Join(THttpConnection* Client, THttpGetFlag& Flags)
{
    Flags = gfHandled;
    if (const std::string why = RefusalReason(); !why.empty()) {
        Refuse(Client, why);
        return;
    }
    FClients.push_back(std::make_unique<TClient>(TClient{Client}));
    Client->OnDataSent = [this, Client](TObject*, WORD) {
        if (TClient* c = Find(Client))
            Offer(*c);
    };
    Client->OnServerStop = [this, Client](TObject*) {
        if (TClient* c = Find(Client))
            End(*c);
    };
    Client->SendStr(StreamHeader());
    Client->AnswerProgressed();
    Watch(true);
    // The newest frame at once, when the stream is already running.
    if (TClient* c = Find(Client))
        Offer(*c);
}

std::string TLiveStream::RefusalReason() const
{
    if (!FGrabber || !FGrabber->DriverOpen())
        return "The camera is closed.";
    const auto streaming = std::count_if(FClients.begin(), FClients.end(), [](const auto& c) { return !c->Ending; });
    if (streaming >= FMaxClients)
        return "Too many stream clients; at most " + std::to_string(FMaxClients) + ".";
    return std::string();
}

void TLiveStream::Head(THttpConnection* Client, THttpGetFlag& Flags)
{
    Flags = gfHandled;
    if (const std::string why = RefusalReason(); !why.empty()) {
        Refuse(Client, why, false);
        return;
    }
    Client->SendStr(StreamHeader());
    Client->EndAnswer();
}

void TLiveStream::Refuse(THttpConnection* Client, const std::string& Reason, bool WithBody)
{
    const std::string body = Reason + "\r\n";
    const std::string header = "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\n\r\n";
    Client->SendStr(WithBody ? header + body : header);
    Client->EndAnswer();
}

void TLiveStream::Leave(THttpConnection* Client)
{
    auto it = std::find_if(FClients.begin(), FClients.end(), [Client](const auto& c) { return c->Conn == Client; });
    if (it == FClients.end())
        return;
    FClients.erase(it);
    if (FClients.empty()) {
        Watch(false);
        FPart.reset();
        FHaveDue = false;
    }
}

void TLiveStream::End(TClient& C)
{
    if (C.Ending)
        return;
    C.Ending = true;
    THttpConnection* conn = C.Conn;
    conn->OnServerStop = nullptr;
    // Behind the part on its way, if any: every part goes whole into the
    // send buffer, so the last one is complete.
    try {
        if (conn->GetState() == wsConnected)
            conn->SendStr(std::string("--") + StreamBoundary + "--\r\n");
        conn->EndAnswer();
    } catch (const Exception&) {
        conn->CloseLater();
    }
}

void TLiveStream::EndAll()
{
    for (auto& c : FClients)
        End(*c);
    Watch(false);
}

void TLiveStream::Finish(int TimeoutMs)
{
    EndAll();
    const DWORD start = GetTickCount();
    auto pending = [this] {
        for (auto& c : FClients)
            if (c->Conn->GetState() == wsConnected && c->Conn->BufferedByteCount() > 0)
                return true;
        return false;
    };
    while (pending()) {
        const int left = TimeoutMs - static_cast<int>(GetTickCount() - start);
        if (left <= 0)
            break;
        WaitMessageTimeout(std::min(left, 100));
        PumpPendingMessages();
    }
}

void TLiveStream::Watch(bool On)
{
    if (On == FWatching || !FGrabber)
        return;
    FWatching = On;
    if (On) {
        FGrabber->SetOnFrameCallback([this](TObject*, PVIDEOHDR Header) { Frame(Header); });
        FGrabber->SetYuyvFrames(true);
        // A preview slower than the stream runs at the stream's rate while
        // it is watched.
        FPreviewRate = FGrabber->PreviewRate();
        if (FPreviewRate < FMaxFps)
            FGrabber->SetPreviewRate(static_cast<uint16_t>(FMaxFps));
    } else {
        FGrabber->SetOnFrameCallback(nullptr);
        FGrabber->SetYuyvFrames(false);
        if (FPreviewRate != 0 && FGrabber->PreviewRate() == std::max<int>(FPreviewRate, FMaxFps))
            FGrabber->SetPreviewRate(FPreviewRate);
        FPreviewRate = 0;
    }
}

void TLiveStream::Offer(TClient& C)
{
    THttpConnection* conn = C.Conn;
    // One part in the send buffer at most: a slow client gets the newest
    // frame once it has taken the previous one.
    if (C.Ending || !FPart || C.Sent == FSeq || conn->GetState() != wsConnected || conn->BufferedByteCount() > 0)
        return;
    C.Sent = FSeq;
    std::shared_ptr<const std::string> part = FPart;
    // The system keeps at most about one more frame for a client that is
    // behind (it reserves twice the size asked for, overhead included).
    const int wanted = static_cast<int>(part->size() / 2);
    if (wanted > C.KernelBuffer && conn->GetHSocket() != INVALID_SOCKET) {
        WSocket_setsockopt(conn->GetHSocket(), SOL_SOCKET, SO_SNDBUF, &wanted, sizeof wanted);
        C.KernelBuffer = wanted;
    }
    try {
        C.Queued += part->size();
        conn->Send(part->data(), static_cast<int>(part->size()));
        conn->AnswerProgressed();
    } catch (const Exception&) {
        conn->CloseLater();
    }
}

void TLiveStream::CheckProgress(TClient& C)
{
    THttpConnection* conn = C.Conn;
    int unacknowledged = 0;
    if (C.Ending || conn->GetState() != wsConnected || conn->GetHSocket() == INVALID_SOCKET ||
        ioctl(conn->GetHSocket(), SIOCOUTQ, &unacknowledged) != 0)
        return;
    const uint64_t outstanding = static_cast<uint64_t>(conn->BufferedByteCount()) + static_cast<uint64_t>(unacknowledged);
    const uint64_t taken = C.Queued > outstanding ? C.Queued - outstanding : 0;
    if (taken > C.Taken) {
        C.Taken = taken;
        conn->AnswerProgressed();
    }
}

void TLiveStream::Frame(PVIDEOHDR Header)
{
    for (auto& c : FClients)
        CheckProgress(*c);
    // Grabbed frames belong to snapshots; the stream takes the preview's.
    if (!Header || !Header->lpData || Header->dwUser != 0)
        return;
    if (std::none_of(FClients.begin(), FClients.end(), [](const auto& c) { return !c->Ending; }))
        return;

    // At most MaxFps frames a second, on average, whatever the preview's
    // rate; a frame a little early still counts for its slot.
    const DWORD now = GetTickCount();
    const DWORD interval = 1000u / static_cast<DWORD>(FMaxFps);
    const int32_t early = static_cast<int32_t>(FNextDue - now);
    if (FHaveDue && early > static_cast<int32_t>(interval / 4))
        return;
    FNextDue = FHaveDue && -early < static_cast<int32_t>(interval) ? FNextDue + interval : now + interval;
    FHaveDue = true;

    try {
        const TStreamLook look = FLook ? FLook() : TStreamLook{};
        const std::string caption = CaptionText(look.Message, std::chrono::system_clock::now());
        std::vector<uint8_t> jpeg = Header->dwFlags & VHDR_YUYV ? EncodeYuyv(Header, look, caption)
                                                                 : EncodeRgb(Header, look, caption);
        if (jpeg.empty())
            return;
        FPart = std::make_shared<const std::string>(MakePart(jpeg));
    } catch (const std::exception&) {
        return;
    }
    ++FSeq;
    for (size_t i = 0; i < FClients.size(); ++i)
        Offer(*FClients[i]);
}

std::vector<uint8_t> TLiveStream::EncodeRgb(PVIDEOHDR Header, const TStreamLook& Look, const std::string& Caption)
{
    int w = FGrabber->ImageWidth(), h = FGrabber->ImageHeight();
    if (static_cast<size_t>(w) * static_cast<size_t>(h) * 3 != Header->dwBytesUsed) {
        FGrabber->UpdateCapStatus();
        w = FGrabber->ImageWidth();
        h = FGrabber->ImageHeight();
        if (w == 0 || static_cast<size_t>(w) * static_cast<size_t>(h) * 3 != Header->dwBytesUsed)
            return {};
    }
    // A copy: the capture window's frame stays as the camera gave it.
    if (FWork.Width() != w || FWork.Height() != h)
        FWork.SetSize(w, h);
    std::memcpy(FWork.Data(), Header->lpData, Header->dwBytesUsed);
    const TPixelView view = ViewOf(FWork);
    if (Look.Effect)
        ApplyCameraEffect(view, Look.EffectR, Look.EffectG, Look.EffectB);
    DrawCaption(view, Caption);
    return EncodeJpeg(view, SnapshotQuality);
}

std::vector<uint8_t> TLiveStream::EncodeYuyv(PVIDEOHDR Header, const TStreamLook& Look, const std::string& Caption)
{
    // A band at a time, tint and caption put into the planes the encoder
    // takes as they are.
    const int w = static_cast<int>(Header->dwReserved[0]), h = static_cast<int>(Header->dwReserved[1]);
    const int stride = static_cast<int>(Header->dwReserved[2]);
    const auto* frame = static_cast<const uint8_t*>(Header->lpData);
    if (w <= 0 || h <= 0 || stride < w * 2)
        return {};
    if (Caption != FCaptionText || FCaption.Empty()) {
        FCaption = CaptionPicture(Caption);
        FCaptionText = Caption;
    }
    const int captionX = w - FCaption.Width() - 3, captionY = h - FCaption.Height() - 3;
    return EncodeJpeg(w, h, [&](int Top, TYuvPicture& Band) {
        if (!Band.FromYuyv(frame + static_cast<size_t>(Top) * stride, stride, w, std::min(JpegBandRows, h - Top)))
            return false;
        if (Look.Effect)
            Band.TintOddRows(Look.EffectR, Look.EffectG, Look.EffectB);
        Band.Paste(ViewOf(FCaption), captionX, captionY - Top);
        return true;
    }, SnapshotQuality);
}
