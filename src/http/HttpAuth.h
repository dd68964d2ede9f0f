// HTTP Basic authentication for the whole server: the one user and
// password, and the addresses that have guessed wrong too often.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum THttpAuthVerdict : uint8_t { avPass, avChallenge, avTooMany };

class THttpAuth {
public:
    // Wrong credentials from one address within WindowMs that block it for
    // BlockMs.
    static constexpr int MaxFailures = 10;
    static constexpr uint32_t WindowMs = 60000;
    static constexpr uint32_t BlockMs = 60000;
    // Addresses remembered at most; the oldest go first.
    static constexpr size_t MaxAddresses = 4096;

    // An empty user switches authentication off.
    void SetCredentials(const std::string& User, const std::string& Password);
    bool Enabled() const { return !FExpected.empty(); }

    // The verdict on a request from Address carrying the Authorization
    // field value Authorization (empty when it had none), at tick Now.
    // Only wrong credentials count as failures; a missing field is the
    // client's first try.
    THttpAuthVerdict Check(const std::string& Address, const std::string& Authorization, uint32_t Now);

private:
    struct TRecord {
        std::vector<uint32_t> Failures;  // ticks of the recent failures
        bool Blocked = false;
        uint32_t BlockedAt = 0;
        uint32_t LastSeen = 0;
    };
    void Forget(uint32_t Now);

    std::string FExpected;  // "user:password"
    std::map<std::string, TRecord> FRecords;
};

// The bytes of a base64 text (RFC 4648, padding optional); false for
// anything else.
bool DecodeBase64(const std::string& Text, std::string& Result);

// Equal in a time that depends only on Expected's length.
bool ConstantTimeEqual(const std::string& Given, const std::string& Expected);
