#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "TestSupport.h"
#include "platform/IniFiles.h"
#include "platform/Profile.h"

namespace {

class Profile : public ::testing::Test {
protected:
    TTempDir Dir;
    std::string File = Dir.Name() + "/test.ini";
};

} // namespace

TEST_F(Profile, NamesAreCaseInsensitiveAndValuesTrimmedAndUnquoted)
{
    Spit(File, "; comment\r\n[Setting]\r\n  FHost = example.org  \r\nquoted=\" padded \"\r\nsingle='x'\r\nhalf=\"open\r\n[efx]\r\nr=1\r\n");
    EXPECT_EQ(GetPrivateProfileString("setting", "fhost", "d", 1024, File), "example.org");
    EXPECT_EQ(GetPrivateProfileString("SETTING", "QUOTED", "d", 1024, File), " padded ");
    EXPECT_EQ(GetPrivateProfileString("setting", "single", "d", 1024, File), "x");
    EXPECT_EQ(GetPrivateProfileString("setting", "half", "d", 1024, File), "\"open");
    EXPECT_EQ(GetPrivateProfileString("setting", "r", "none", 1024, File), "none");
    EXPECT_EQ(GetPrivateProfileString("EFX", "R", "none", 1024, File), "1");
    EXPECT_EQ(GetPrivateProfileString("efx", "g", "dflt", 1024, File), "dflt");
    EXPECT_EQ(GetPrivateProfileString("efx", "g", "dflt", 1024, Dir.Name() + "/missing.ini"), "dflt");
    char buf[4];
    EXPECT_EQ(GetPrivateProfileStringA("setting", "fhost", "", buf, sizeof buf, File.c_str()), 3u);
    EXPECT_STREQ(buf, "exa");
}

TEST_F(Profile, WriteKeepsOtherLinesAndOrder)
{
    Spit(File, "; keep me\n[a]\nx=1\ny=2\n\n[B]\nz=3\n");
    ASSERT_TRUE(WritePrivateProfileString("A", "Y", "20", File));
    ASSERT_TRUE(WritePrivateProfileString("a", "new", "n", File));
    ASSERT_TRUE(WritePrivateProfileString("c", "k", "v", File));
    ASSERT_TRUE(WritePrivateProfileString("b", "z", nullptr, File));
    EXPECT_EQ(Slurp(File), "; keep me\n[a]\nx=1\nY=20\nnew=n\n\n[B]\n[c]\nk=v\n");
    ASSERT_TRUE(WritePrivateProfileString("a", nullptr, nullptr, File));
    EXPECT_EQ(Slurp(File), "; keep me\n[B]\n[c]\nk=v\n");
}

TEST_F(Profile, NewFileIsPrivateAndCrlfFilesStayCrlf)
{
    ASSERT_TRUE(WritePrivateProfileString("s", "k", "v", File));
    struct stat st{};
    ASSERT_EQ(stat(File.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Slurp(File), "[s]\nk=v\n");

    std::string crlf = Dir.Name() + "/crlf.ini";
    Spit(crlf, "[s]\r\nk=v");
    ASSERT_TRUE(WritePrivateProfileString("s", "j", "w", crlf));
    EXPECT_EQ(Slurp(crlf), "[s]\r\nk=v\r\nj=w\r\n");
}

TEST_F(Profile, FailedWriteIsReportedAndLeavesTheOldFile)
{
    EXPECT_FALSE(WritePrivateProfileString("s", "k", "v", Dir.Name() + "/no/such/dir/x.ini"));
    Spit(File, "[s]\nk=old\n");
    EXPECT_FALSE(WritePrivateProfileString("s", "k", "line\nbreak", File));
    if (geteuid() != 0) {
        chmod(Dir.Name().c_str(), 0500);
        EXPECT_FALSE(WritePrivateProfileString("s", "k", "new", File));
        chmod(Dir.Name().c_str(), 0700);
    }
    EXPECT_EQ(Slurp(File), "[s]\nk=old\n");
    EXPECT_FALSE(WritePrivateProfileString("s", "k", "v", Dir.Name()));  // a directory
}

TEST_F(Profile, BinaryAndHugeContentIsHarmless)
{
    std::string junk("\x00\xff[s]\n\x01=\x02\n", 10);
    junk += "[s]\nk=" + std::string(100000, 'a') + "\nz=a\0b\n";
    junk.push_back('\0');
    Spit(File, junk);
    EXPECT_EQ(GetPrivateProfileString("s", "k", "", 1024, File).size(), 1023u);
    EXPECT_EQ(GetPrivateProfileString("s", "z", "", 1024, File), "a");
    EXPECT_TRUE(WritePrivateProfileString("s", "k", "short", File));
    EXPECT_EQ(GetPrivateProfileString("s", "k", "", 1024, File), "short");
}

TEST(IniFile, IntegerBooleanAndStringRules)
{
    TTempDir dir;
    std::string file = dir.Name() + "/i.ini";
    Spit(file, "[s]\nhex=0x0A\nHEX2=0XfF\nneg=-12\nabc=abc\nx=0x\nbig=99999999999\nhexbig=0x1FFFFFFFF\n"
               "wrap=0xFFFFFFFF\nplus=+7\nbool=2\nboolbad=yes\nlong=" + std::string(2000, 'b') + "\n");
    TIniFile ini(file);
    EXPECT_EQ(ini.ReadInteger("s", "hex", 0), 10);
    EXPECT_EQ(ini.ReadInteger("s", "hex2", 0), 255);
    EXPECT_EQ(ini.ReadInteger("s", "neg", 0), -12);
    EXPECT_EQ(ini.ReadInteger("s", "abc", 5), 5);
    EXPECT_EQ(ini.ReadInteger("s", "x", 5), 5);
    EXPECT_EQ(ini.ReadInteger("s", "big", 5), 5);
    EXPECT_EQ(ini.ReadInteger("s", "hexbig", 5), 5);
    EXPECT_EQ(ini.ReadInteger("s", "wrap", 5), -1);
    EXPECT_EQ(ini.ReadInteger("s", "plus", 5), 7);
    EXPECT_EQ(ini.ReadInteger("s", "missing", 8765), 8765);
    EXPECT_TRUE(ini.ReadBool("s", "bool", false));
    EXPECT_TRUE(ini.ReadBool("s", "boolbad", true));
    EXPECT_FALSE(ini.ReadBool("s", "boolbad", false));
    EXPECT_EQ(ini.ReadString("s", "long", "").size(), 1023u);

    ini.WriteInteger("s", "hex", 10);
    ini.WriteBool("s", "bool", false);
    EXPECT_EQ(GetPrivateProfileString("s", "hex", "", 1024, file), "10");
    EXPECT_EQ(GetPrivateProfileString("s", "bool", "", 1024, file), "0");

    // A value holding a line break is kept up to the break, and the write
    // succeeds: the file's lines stay intact.
    Spit(file, "[s]\ncr=a\rb\n");
    ini.WriteString("s", "cr", ini.ReadString("s", "cr", ""));
    ini.WriteString("s", "lf", "c\nd");
    EXPECT_EQ(Slurp(file), "[s]\ncr=a\nlf=c\n");

    TIniFile bad(dir.Name() + "/missing/dir/x.ini");
    try {
        bad.WriteString("s", "k", "v");
        FAIL() << "no error";
    } catch (const EIniFileException& e) {
        EXPECT_EQ(std::string(e.what()), dir.Name() + "/missing/dir/x.ini に書き込めません");
    }
}
