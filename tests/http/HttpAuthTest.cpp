#include <gtest/gtest.h>

#include <string>

#include "http/HttpAuth.h"

TEST(HttpAuth, VerdictsOnTheAuthorizationField)
{
    THttpAuth auth;
    EXPECT_EQ(auth.Check("a", "", 0), avPass);  // off until a user is set
    auth.SetCredentials("alice", "se:cr et");
    const struct {
        const char* Field;
        THttpAuthVerdict Verdict;
    } cases[] = {
        {"Basic YWxpY2U6c2U6Y3IgZXQ=", avPass},    // alice:se:cr et
        {"basic  YWxpY2U6c2U6Y3IgZXQ", avPass},    // scheme in any case, padding optional
        {"", avChallenge},
        {"Basic YWxpY2U6c2U6Y3IgZX=", avChallenge},  // one bit off
        {"Basic YWxpY2U6c2U6Y3IgZXQhISE=", avChallenge},  // a longer password
        {"Basic YWxpY2U=", avChallenge},
        {"Bearer YWxpY2U6c2U6Y3IgZXQ=", avChallenge},
        {"Basic YWx*Y2U6", avChallenge},
    };
    for (const auto& c : cases)
        EXPECT_EQ(auth.Check("b", c.Field, 0), c.Verdict) << c.Field;
}

TEST(HttpAuth, TenWrongTriesInAMinuteBlockTheAddressForAMinute)
{
    THttpAuth auth;
    auth.SetCredentials("u", "p");
    const std::string right = "Basic dTpw", wrong = "Basic dTpx";
    // Nine wrong tries spread over more than a minute never block.
    for (uint32_t t = 0; t < 9 * 10000u; t += 10000)
        EXPECT_EQ(auth.Check("x", wrong, t), avChallenge);
    EXPECT_EQ(auth.Check("x", right, 90000), avPass);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(auth.Check("y", wrong, 100000 + i), avChallenge);
    EXPECT_EQ(auth.Check("y", right, 100010), avTooMany);   // not even checked
    EXPECT_EQ(auth.Check("z", right, 100010), avPass);      // other addresses go on
    EXPECT_EQ(auth.Check("y", "", 160008), avTooMany);
    EXPECT_EQ(auth.Check("y", right, 160009), avPass);      // a minute later
}
