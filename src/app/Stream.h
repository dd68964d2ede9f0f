// The live picture over HTTP: a multipart/x-mixed-replace stream of JPEG
// frames from the camera's preview, each frame encoded once for every
// client, and each client paced by its own send buffer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "capture/Video.h"
#include "http/HttpSrv.h"
#include "imaging/Bitmap.h"

constexpr int StreamDefaultFps = 15;
constexpr int StreamDefaultClients = 10;
constexpr const char* StreamBoundary = "quorrelaneframe";

// What a request asks for beyond a plain file.
enum TStreamAddress : uint8_t { saNone, saSnapshot, saStream };

// "/snapshot" and "/?action=snapshot", "/stream" and "/?action=stream".
TStreamAddress StreamAddressOf(const std::string& Path, const std::string& Params);

// What every frame carries, as the snapshot gives it.
struct TStreamLook {
    std::string Message;  // empty: the date and time
    bool Effect = false;
    int32_t EffectR = 55, EffectG = 45, EffectB = 20;
};

class TLiveStream {
public:
    // Grabber delivers the frames; Look is asked once per frame.
    TLiveStream(TFrameGrabber* Grabber, std::function<TStreamLook()> Look);
    ~TLiveStream();
    TLiveStream(const TLiveStream&) = delete;
    TLiveStream& operator=(const TLiveStream&) = delete;

    // Frames per second at most (the preview runs at least that fast while
    // a stream is watched), and clients at once (values below 1 give the
    // defaults).
    void SetMaxFps(int Value);
    void SetMaxClients(int Value);
    int MaxFps() const { return FMaxFps; }
    int MaxClients() const { return FMaxClients; }

    // Answers a stream request (Flags becomes gfHandled): the stream, or
    // 503 when the camera is closed or the clients are too many.
    void Join(THttpConnection* Client, THttpGetFlag& Flags);
    // A HEAD request: the header Join would send, and the end.
    void Head(THttpConnection* Client, THttpGetFlag& Flags);
    // The connection is going away: forget it.
    void Leave(THttpConnection* Client);
    // Every stream ends after the part it is sending.
    void EndAll();
    // EndAll, then runs the message loop until every stream has left its
    // send buffer or TimeoutMs has passed.
    void Finish(int TimeoutMs);

    int ClientCount() const { return static_cast<int>(FClients.size()); }
    // Frames encoded since the stream was made.
    uint64_t FramesEncoded() const { return FSeq; }

    // The part that carries Jpeg: boundary, headers, data, CR LF.
    static std::string MakePart(const std::vector<uint8_t>& Jpeg);

private:
    struct TClient {
        THttpConnection* Conn;
        uint64_t Sent = 0;     // the last frame queued to it
        bool Ending = false;
        int KernelBuffer = 0;  // the send buffer size asked of the system
        uint64_t Queued = 0;   // bytes handed to the connection
        uint64_t Taken = 0;    // of them, bytes the client has acknowledged
    };

    void Frame(PVIDEOHDR Header);
    // The frame's JPEG picture with tint and caption; empty when the frame
    // makes none.
    std::vector<uint8_t> EncodeRgb(PVIDEOHDR Header, const TStreamLook& Look, const std::string& Caption);
    std::vector<uint8_t> EncodeYuyv(PVIDEOHDR Header, const TStreamLook& Look, const std::string& Caption);
    void Offer(TClient& C);
    // A client that took bytes since the last look, however few, is
    // alive: its wait starts again.
    void CheckProgress(TClient& C);
    void End(TClient& C);
    // Why a new client cannot join now; empty when it can.
    std::string RefusalReason() const;
    void Refuse(THttpConnection* Client, const std::string& Reason, bool WithBody = true);
    void Watch(bool On);
    TClient* Find(THttpConnection* Client);

    TFrameGrabber* FGrabber;
    std::function<TStreamLook()> FLook;
    int FMaxFps = StreamDefaultFps;
    int FMaxClients = StreamDefaultClients;
    std::vector<std::unique_ptr<TClient>> FClients;
    std::shared_ptr<const std::string> FPart;  // the newest frame's part
    uint64_t FSeq = 0;                         // its number
    bool FWatching = false;
    uint16_t FPreviewRate = 0;  // the preview's own rate while watched
    bool FHaveDue = false;
    DWORD FNextDue = 0;  // when the next frame may be taken
    TBitmap FWork;       // the frame being encoded
    std::string FCaptionText;
    TBitmap FCaption;    // FCaptionText drawn
};
