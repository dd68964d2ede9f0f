#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "net/NetTestUtil.h"
#include "net/WSocket.h"

TEST(Resolve, IsDottedIP)
{
    EXPECT_TRUE(IsDottedIP("1.2.3.4"));
    EXPECT_TRUE(IsDottedIP("  1.2.3.4"));
    EXPECT_TRUE(IsDottedIP("1.2.3.4  "));
    EXPECT_TRUE(IsDottedIP("255.255.255.255"));
    EXPECT_FALSE(IsDottedIP("1..2.3"));
    EXPECT_FALSE(IsDottedIP("1.2.3"));
    EXPECT_FALSE(IsDottedIP("1.2.3.256"));
    EXPECT_FALSE(IsDottedIP("300.1.1.1"));
    EXPECT_FALSE(IsDottedIP("1.2.3.4x"));
    EXPECT_FALSE(IsDottedIP(".1.2.3"));
    EXPECT_FALSE(IsDottedIP("1.2.3.4."));
    EXPECT_FALSE(IsDottedIP("1.2.3.4 5"));
    EXPECT_FALSE(IsDottedIP(""));
    EXPECT_FALSE(IsDottedIP("localhost"));
}

TEST(Resolve, Numbers)
{
    EXPECT_EQ(ParsePortNumber("  80x"), 80);
    EXPECT_EQ(ParsePortNumber("abc"), 0);
    // Long digit strings wrap instead of overflowing.
    EXPECT_EQ(ParsePortNumber("99999999999999999999"), 1661992959);
    EXPECT_EQ(WSocketResolvePort("4294967376", "tcp"), 80);
    EXPECT_EQ(WSocketResolvePort("80", "tcp"), 80);
    EXPECT_EQ(WSocketResolvePort("http", "tcp"), 80);
    EXPECT_EQ(WSocketResolvePort("70000", "tcp") & 0xFFFF, 70000 & 0xFFFF);
    EXPECT_EQ(ErrorText([] { WSocketResolvePort(std::string(32, '8'), "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_EQ(ErrorText([] { WSocketResolvePort("", "tcp"); }), "WSocketResolvePort: Invalid Port.");
    EXPECT_NE(ErrorText([] { WSocketResolvePort("no-such-service-here", "tcp"); })
                  .find("WSocketResolvePort: Cannot convert port 'no-such-service-here', Error #"),
              std::string::npos);
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_EQ(WSocketResolveProto("udp"), 17);
    EXPECT_EQ(WSocketResolveProto("17"), 17);
    EXPECT_EQ(ErrorText([] { WSocketResolveProto(""); }), "WSocketResolveProto: Invalid Protocol.");
    EXPECT_NE(ErrorText([] { WSocketResolveProto("nosuchproto"); }).find("WSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #"),
              std::string::npos);
}

TEST(Resolve, Hosts)
{
    EXPECT_EQ(WSocketResolveHost("127.0.0.1"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(WSocketResolveHost(" 127.0.0.1 "), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(WSocketResolveHost("localhost"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ErrorText([] { WSocketResolveHost(""); }), "WSocketResolveHost: '' Invalid Hostname.");
    EXPECT_EQ(ErrorText([] { WSocketResolveHost(std::string(257, 'a')); }).substr(0, 21), "WSocketResolveHost: '");
    EXPECT_NE(ErrorText([] { WSocketResolveHost("no-such-host.invalid"); })
                  .find("WSocketResolveHost: Cannot convert host address 'no-such-host.invalid', Error #"),
              std::string::npos);
}

TEST(Resolve, ErrorTexts)
{
    EXPECT_EQ(WinsockErrorText(0), "No Error");
    EXPECT_EQ(WinsockErrorText(10035), "Operation would block");
    EXPECT_EQ(WinsockErrorText(10054), "Connection reset by peer");
    EXPECT_EQ(WinsockErrorText(10058), "Can't send after socket shutdown");
    EXPECT_EQ(WinsockErrorText(10061), "Connection refused");
    EXPECT_EQ(WinsockErrorText(10092), "WinSock DLL cannot support this application");
    EXPECT_EQ(WinsockErrorText(11004), "No Data");
    EXPECT_EQ(WinsockErrorText(12345), "Not a WinSock error");
    EXPECT_EQ(WinsockErrorText(10072), "Not a WinSock error");
}

TEST(Resolve, LocalAddresses)
{
    EXPECT_FALSE(LocalHostName().empty());
    const auto& list = LocalAddressList();
    ASSERT_FALSE(list.empty());
    for (const auto& a : list) {
        EXPECT_TRUE(IsDottedIP(a)) << a;
        if (list.size() > 1) {
            EXPECT_NE(a.substr(0, 4), "127.") << a;
        }
    }
    if (list.size() == 1 && list[0].substr(0, 4) == "127.") {
        EXPECT_EQ(list[0], "127.0.0.1");
    }
    EXPECT_EQ(&LocalAddressList(), &list);
}

TEST(Binding, EntryPointsAndUnload)
{
    EXPECT_EQ(WinsockProc(""), nullptr);
    EXPECT_TRUE(WinsockLoaded());
    EXPECT_NE(WinsockProc("recv"), nullptr);
    EXPECT_EQ(ErrorText([] { WinsockProc("nosuch"); }), "Procedure nosuch not found in wsock32.dll Error #127");
    EXPECT_EQ(WinsockLoadErrorText(126), "Unable to load wsock32.dll Error #126");
    EXPECT_EQ(WinsockStartupErrorText(10091), "wsock32.dll: WSAStartup error #10091");
    {
        TWSocket s(nullptr);
        EXPECT_EQ(WSocketCount(), 1);
    }
    // The last socket object unloads; the next operation loads again.
    EXPECT_EQ(WSocketCount(), 0);
    EXPECT_FALSE(WinsockLoaded());
    TWSocket t(nullptr);
    EXPECT_FALSE(WinsockLoaded());
    t.DnsLookup("127.0.0.1");
    EXPECT_TRUE(WinsockLoaded());
}
