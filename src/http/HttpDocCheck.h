// Opens the document a request path names only when it stays inside the
// document directory with its links resolved. A verdict is kept per path
// for the file it was made for (device, inode and change time, which every
// link, rename or write of the file moves) and for a short time: a request
// that finds that same file at the path is answered without resolving the
// path again, and one that finds another file is checked afresh.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "platform/FileStream.h"
#include "platform/Windows.h"

class THttpDocCheck {
public:
    static constexpr DWORD KeepMs = 1000;
    static constexpr size_t MaxKept = 1024;

    using TOpener = std::function<std::unique_ptr<TFileStream>()>;

    // The opened document, or null when it lies outside ResolvedDir or does
    // not exist. Open's exceptions pass through.
    std::unique_ptr<TFileStream> OpenInside(const std::string& ResolvedDir, const std::string& Document,
                                            const TOpener& Open, DWORD Now);

private:
    struct TVerdict {
        TFileIdentity Id;
        DWORD Time = 0;
    };
    std::string FDir;
    std::unordered_map<std::string, TVerdict> FKept;
};
