#include "http/HttpDocCheck.h"

#include <sys/stat.h>

#include "http/HttpText.h"

std::unique_ptr<TFileStream> THttpDocCheck::OpenInside(const std::string& ResolvedDir, const std::string& Document,
                                                       const TOpener& Open, DWORD Now)
{
    if (ResolvedDir != FDir) {
        FKept.clear();
        FDir = ResolvedDir;
    }
    auto it = FKept.find(Document);
    if (it != FKept.end()) {
        if (Now - it->second.Time < KeepMs) {
            std::unique_ptr<TFileStream> file = Open();
            if (file->Identity() == it->second.Id)
                return file;
        }
        FKept.erase(it);
    }
    const std::string resolved = ResolvedDocumentInside(ResolvedDir, Document);
    if (resolved.empty())
        return nullptr;
    std::unique_ptr<TFileStream> file = Open();
    // Kept only when the file opened is the one the check found: a link
    // swapped in between leaves nothing behind.
    struct stat st{};
    if (::stat(resolved.c_str(), &st) == 0) {
        const TFileIdentity found{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                                  static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec};
        if (found == file->Identity()) {
            if (FKept.size() >= MaxKept)
                FKept.clear();
            FKept[Document] = {found, Now};
        }
    }
    return file;
}
