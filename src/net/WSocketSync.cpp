#include "net/WSocket.h"

#include "platform/Application.h"

// ---------------------------------------------------------------------------
// Wait helpers.

TCustomSyncWSocket::TCustomSyncWSocket(TComponent* AOwner) : TCustomLineWSocket(AOwner) {}

int TCustomSyncWSocket::WaitForFlag(bool& Done)
{
    FTimeStop = GetTickCount() + static_cast<uint32_t>(FTimeout);
    for (;;) {
        if (Done)
            return 0;
        int left = -1;
        if (FTimeout > 0) {
            left = static_cast<int32_t>(FTimeStop - GetTickCount());
            if (left < 0)
                return 12001;
        }
        if ((Application && Application->Terminated()) || FTerminated)
            return 12001;
        MessagePump();
        if (Done)
            return 0;
        WaitMessageTimeout(left);
    }
}

int TCustomSyncWSocket::RunAndWait(const std::function<void()>& Operation, bool& Done)
{
    Done = false;
    if (Operation)
        Operation();
    return WaitForFlag(Done);
}
