#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <numeric>

#include "net/NetTestUtil.h"
#include "net/WSocket.h"

TEST(TBufferChunk, WritePeekRemove)
{
    TBuffer b(0);
    EXPECT_EQ(b.Size(), 1514);
    int len = -1;
    EXPECT_EQ(b.Peek(len), nullptr);
    EXPECT_EQ(len, 0);
    std::string big(2000, 'x');
    EXPECT_EQ(b.Write(big.data(), 2000), 1514);
    EXPECT_EQ(b.Write("y", 1), 0);
    EXPECT_EQ(b.Remove(14), 14);
    ASSERT_NE(b.Peek(len), nullptr);
    EXPECT_EQ(len, 1500);
    EXPECT_EQ(b.Write("y", 1), 0);  // space only behind the write count
    EXPECT_EQ(b.Remove(5000), 1500);
    EXPECT_EQ(b.Remove(1), 0);
    // A drained chunk is reused from its start.
    EXPECT_EQ(b.Write("abc", 3), 3);
    const char* p = b.Peek(len);
    EXPECT_EQ(std::string(p, static_cast<size_t>(len)), "abc");
}

namespace {

// A TWSocket connected to a plain peer descriptor, its first send done.
struct TConnected : TSocketPeer {
    std::vector<int> Pieces;
    int DataSent = 0;

    TConnected()
    {
        S.OnSendData = [this](TObject*, int N) { Pieces.push_back(N); };
        S.OnDataSent = [this](TObject*, WORD) { ++DataSent; };
        Connect([this] { return DataSent == 1; });
        DataSent = 0;
    }
};

std::string Pattern(size_t N)
{
    std::string s(N, '\0');
    for (size_t i = 0; i < N; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return s;
}

}  // namespace

TEST(SendBuffer, FiveThousandBytesInFourChunks)
{
    TConnected c;
    ASSERT_GE(c.Peer, 0);
    bool insideSend = false;
    bool sentInside = false;
    c.S.OnDataSent = [&](TObject*, WORD E) {
        sentInside = sentInside || insideSend;
        EXPECT_EQ(E, 0);
        ++c.DataSent;
    };
    std::string data = Pattern(5000);
    insideSend = true;
    EXPECT_EQ(c.S.Send(data.data(), 5000), 5000);
    insideSend = false;
    EXPECT_EQ(c.Pieces, (std::vector<int>{1514, 1514, 1514, 458}));
    EXPECT_EQ(c.DataSent, 0);
    std::string got;
    ASSERT_TRUE(RunUntil([&] {
        ReadSome(c.Peer, got);
        return got.size() >= 5000 && c.DataSent > 0;
    }));
    RunIdle();
    EXPECT_FALSE(sentInside);
    EXPECT_EQ(c.DataSent, 1);
    EXPECT_EQ(got, data);
}

TEST(SendBuffer, EmptySends)
{
    TConnected c;
    EXPECT_EQ(c.S.Send(nullptr, 0), 0);
    RunIdle();
    EXPECT_EQ(c.DataSent, 0);  // nothing ever sent: no notification
    c.S.SendStr("x");
    RunIdle();
    EXPECT_EQ(c.DataSent, 1);
    EXPECT_EQ(c.S.Send(nullptr, 0), 0);
    RunIdle();
    EXPECT_EQ(c.DataSent, 2);  // the drained chunk is still there
}

// Every case runs with the pieces written one by one and gathered.
class SendBufferGather : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Writes, SendBufferGather, ::testing::Bool());

TEST_P(SendBufferGather, SlowReaderLosesNothing)
{
    TConnected c;
    c.S.SetGatherSends(GetParam());
    const size_t total = 8 << 20;
    std::string data = Pattern(total);
    // Queue in pieces from inside OnDataSent, never recursing.
    size_t queued = 0;
    int depth = 0, maxDepth = 0;
    c.S.OnDataSent = [&](TObject*, WORD) {
        ++depth;
        maxDepth = std::max(maxDepth, depth);
        if (queued < total) {
            size_t n = std::min<size_t>(1 << 20, total - queued);
            c.S.Send(data.data() + queued, static_cast<int>(n));
            queued += n;
        }
        --depth;
    };
    c.S.Send(data.data(), 1);
    queued = 1;
    std::string got;
    ASSERT_TRUE(RunUntil(
        [&] {
            ReadSome(c.Peer, got, 32 * 1024);  // a slow reader
            return got.size() >= total;
        },
        60000, 1));
    EXPECT_EQ(maxDepth, 1);
    ASSERT_EQ(got.size(), total);
    EXPECT_TRUE(got == data);
    long sum = 0;
    for (int p : c.Pieces)
        sum += p;
    EXPECT_EQ(sum, static_cast<long>(total));
    EXPECT_GT(c.Pieces.size(), total / 1514);
}

TEST(SendBuffer, GatheredPiecesKeepOrderAndOneChunkQueued)
{
    // Bytes queued ahead (as a header): none, part of a chunk, two chunks.
    for (size_t ahead : {0, 87, 3000}) {
        TConnected c;
        const std::string head = Pattern(ahead), data = Pattern(3 << 20);
        size_t pos = 0;
        int maxQueued = 0;
        c.S.OnDataSent = [&](TObject*, WORD) {
            while (pos < data.size() && c.S.GetAllSent()) {
                int len = static_cast<int>(std::min<size_t>(50000, data.size() - pos));
                pos += static_cast<size_t>(c.S.SendPieces(data.data() + pos, len, pos + len < data.size()));
                maxQueued = std::max(maxQueued, c.S.BufferedByteCount());
            }
        };
        int small = 4096;
        setsockopt(c.S.GetHSocket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        c.S.AppendStrToSendBuffer(head);
        c.S.OnDataSent(&c.S, 0);
        std::string got;
        auto all = [&] {
            ReadSome(c.Peer, got, 32 * 1024);
            return got.size() >= ahead + data.size();
        };
        ASSERT_TRUE(RunUntil(all, 20000, 1));
        EXPECT_TRUE(got == head + data) << ahead;
        EXPECT_LE(maxQueued, static_cast<int>(ahead) + 1514) << ahead;
        EXPECT_LE(*std::max_element(c.Pieces.begin(), c.Pieces.end()), 1514) << ahead;
        EXPECT_EQ(std::accumulate(c.Pieces.begin(), c.Pieces.end(), 0L), static_cast<long>(ahead + data.size()));
    }
}

TEST(SendBuffer, PeerResetClosesOnce)
{
    TConnected c;
    int errors = 0;
    c.S.OnError = [&](TObject*) { ++errors; };
    linger l{1, 0};
    ::setsockopt(c.Peer, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(c.Peer);
    c.Peer = -1;
    std::string chunk(100000, 'r');
    while (c.S.GetState() == wsConnected) {
        c.S.Send(chunk.data(), static_cast<int>(chunk.size()));
        PumpPendingMessages();
    }
    RunIdle();
    EXPECT_EQ(c.Closed, std::vector<int>{10054});
    EXPECT_EQ(c.S.GetState(), wsClosed);
    EXPECT_EQ(c.S.Send("x", 1), -1);
    EXPECT_EQ(c.S.GetLastError(), WSAENOTCONN);
    EXPECT_EQ(c.Closed.size(), 1u);
}

namespace {
int gDrainPeer = -1;
std::string* gDrained = nullptr;
}  // namespace

TEST_P(SendBufferGather, FlushWritesEverythingOrReturnsWhenClosed)
{
    TConnected c;
    c.S.SetGatherSends(GetParam());
    std::string data = Pattern(16 << 20);
    std::string got;
    // The peer drains from a timer while Flush runs the loop.
    gDrainPeer = c.Peer;
    gDrained = &got;
    HWND w = CreateWindowHandle(
        [](HWND, UINT Msg, WPARAM, LPARAM) -> LRESULT {
            if (Msg == WM_TIMER)
                ReadSome(gDrainPeer, *gDrained, 256 * 1024);
            return 0;
        },
        nullptr, 0);
    SetTimer(w, 1, 1);
    c.S.Send(data.data(), static_cast<int>(data.size()));
    c.S.Flush();
    EXPECT_EQ(c.S.BufferedByteCount(), 0);
    ASSERT_TRUE(RunUntil([&] { return got.size() >= data.size(); }));
    KillTimer(w, 1);
    DestroyWindow(w);
    EXPECT_TRUE(got == data);
    c.S.Close();
    c.S.Flush();  // closed: returns at once
    EXPECT_EQ(c.S.GetState(), wsClosed);
}

TEST_P(SendBufferGather, CloseRightAfterSendsDeliversAll)
{
    TConnected c;
    c.S.SetGatherSends(GetParam());
    const std::string data = Pattern(10000);
    c.S.Send(data.data(), 4000);
    c.S.Send(data.data() + 4000, 6000);
    c.S.Close();
    std::string got;
    ASSERT_TRUE(RunUntil([&] {
        ReadSome(c.Peer, got);
        return got.size() >= data.size();
    }));
    EXPECT_TRUE(got == data);
}
