#include <gtest/gtest.h>

#include <string>

#include "http/HttpAuth.h"

TEST(HttpAuth, VerdictsOnTheAuthorizationField)
{
    THttpAuth auth;
    EXPECT_EQ(auth.Check("a", "", 0), avPass);  // off until a user is set
    auth.SetCredentials("alice", "se:cr et");
    const std::pair<const char*, THttpAuthVerdict> cases[] = {
        {"Basic YWxpY2U6c2U6Y3IgZXQ=", avPass},           {"basic  YWxpY2U6c2U6Y3IgZXQ", avPass},
        {"", avChallenge},                                {"Basic YWxpY2U6c2U6Y3IgZX=", avChallenge},
        {"Basic YWxpY2U6c2U6Y3IgZXQhISE=", avChallenge},  {"Basic YWxpY2U=", avChallenge},
        {"Bearer YWxpY2U6c2U6Y3IgZXQ=", avChallenge},     {"Basic YWx*Y2U6", avChallenge},
    };
    for (const auto& [field, verdict] : cases)
        EXPECT_EQ(auth.Check("b", field, 0), verdict) << field;
}

TEST(HttpAuth, TenWrongTriesInAMinuteBlockTheAddressForAMinute)
{
    THttpAuth auth;
    auth.SetCredentials("u", "p");
    const std::string right = "Basic dTpw", wrong = "Basic dTpx";
    for (uint32_t t = 0; t < 90000; t += 10000)  // nine, spread over more than a minute
        EXPECT_EQ(auth.Check("x", wrong, t), avChallenge);
    EXPECT_EQ(auth.Check("x", right, 90000), avPass);
    for (uint32_t t = 100000; t < 100010; ++t)
        EXPECT_EQ(auth.Check("y", wrong, t), avChallenge);
    EXPECT_EQ(auth.Check("y", right, 100010), avTooMany);  // not even checked
    EXPECT_EQ(auth.Check("z", right, 100010), avPass);     // other addresses go on
    EXPECT_EQ(auth.Check("y", "", 160008), avTooMany);
    EXPECT_EQ(auth.Check("y", right, 160009), avPass);     // a minute later
}
