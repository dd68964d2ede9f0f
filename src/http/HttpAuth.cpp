#include "http/HttpAuth.h"

#include <algorithm>
#include <cctype>

namespace {

int Base64Digit(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// The credentials of a "Basic" field value; empty for another scheme.
std::string BasicToken(const std::string& Value)
{
    size_t i = 0;
    while (i < Value.size() && Value[i] == ' ')
        ++i;
    static const std::string scheme = "basic";
    if (Value.size() < i + scheme.size() + 1)
        return std::string();
    for (size_t k = 0; k < scheme.size(); ++k)
        if (std::tolower(static_cast<unsigned char>(Value[i + k])) != scheme[k])
            return std::string();
    i += scheme.size();
    if (Value[i] != ' ')
        return std::string();
    size_t start = Value.find_first_not_of(' ', i);
    size_t end = Value.find_last_not_of(" \t");
    return start == std::string::npos ? std::string() : Value.substr(start, end - start + 1);
}

} // namespace

bool DecodeBase64(const std::string& Text, std::string& Result)
{
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    size_t end = Text.size();
    while (end > 0 && Text[end - 1] == '=' && Text.size() - end < 2)
        --end;
    for (size_t i = 0; i < end; ++i) {
        int d = Base64Digit(Text[i]);
        if (d < 0)
            return false;
        bits = (bits << 6) | static_cast<uint32_t>(d);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    if (count >= 6)
        return false;
    Result = std::move(out);
    return true;
}

bool ConstantTimeEqual(const std::string& Given, const std::string& Expected)
{
    unsigned diff = Given.size() == Expected.size() ? 0 : 1;
    for (size_t i = 0; i < Expected.size(); ++i) {
        const unsigned char g = i < Given.size() ? static_cast<unsigned char>(Given[i]) : 0;
        diff |= g ^ static_cast<unsigned char>(Expected[i]);
    }
    return diff == 0;
}

void THttpAuth::SetCredentials(const std::string& User, const std::string& Password)
{
    FExpected = User.empty() ? std::string() : User + ":" + Password;
    FRecords.clear();
}

void THttpAuth::Forget(uint32_t Now)
{
    for (auto it = FRecords.begin(); it != FRecords.end();) {
        const TRecord& r = it->second;
        const bool stale = r.Blocked ? Now - r.BlockedAt >= BlockMs : Now - r.LastSeen >= WindowMs;
        it = stale ? FRecords.erase(it) : std::next(it);
    }
    while (FRecords.size() >= MaxAddresses) {
        auto oldest = std::min_element(FRecords.begin(), FRecords.end(), [Now](const auto& a, const auto& b) {
            return Now - a.second.LastSeen > Now - b.second.LastSeen;
        });
        FRecords.erase(oldest);
    }
}

THttpAuthVerdict THttpAuth::Check(const std::string& Address, const std::string& Authorization, uint32_t Now)
{
    if (!Enabled())
        return avPass;
    auto found = FRecords.find(Address);
    if (found != FRecords.end() && found->second.Blocked) {
        if (Now - found->second.BlockedAt < BlockMs)
            return avTooMany;
        FRecords.erase(found);
    }
    const std::string token = BasicToken(Authorization);
    if (Authorization.empty())
        return avChallenge;
    std::string given;
    if (!token.empty() && DecodeBase64(token, given) && ConstantTimeEqual(given, FExpected))
        return avPass;
    if (FRecords.find(Address) == FRecords.end())
        Forget(Now);
    TRecord& r = FRecords[Address];
    r.LastSeen = Now;
    std::erase_if(r.Failures, [Now](uint32_t t) { return Now - t >= WindowMs; });
    r.Failures.push_back(Now);
    if (static_cast<int>(r.Failures.size()) >= MaxFailures) {
        r.Blocked = true;
        r.BlockedAt = Now;
        r.Failures.clear();
    }
    return avChallenge;
}
