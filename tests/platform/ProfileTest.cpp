#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestSupport.h"
#include "net/LoopPeers.h"
#include "platform/IniFiles.h"
#include "platform/Profile.h"

namespace {

// Started again as another user by ForeignFileIsRefused: writes the file
// named in the environment through TIniFile and exits with 0 when the write
// failed with the program's message, 1 when it succeeded, 2 otherwise.
const int ChildWrite = [] {
    if (const char* f = std::getenv("QUORRELANE_PROFILE_CHILD_WRITE")) {
        int rc = 2;
        try {
            TIniFile(f).WriteString("s", "k", "child");
            rc = 1;
        } catch (const EIniFileException& E) {
            rc = E.Message() == std::string(f) + " に書き込めません" ? 0 : 2;
        }
        std::_Exit(rc);
    }
    return 0;
}();

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

TEST_F(Profile, ReadOnlyFileIsRefusedAndAReplacedFileKeepsModeAndOwner)
{
    Spit(File, "[s]\nk=old\n");
    ASSERT_EQ(chmod(File.c_str(), 0444), 0);
    EXPECT_FALSE(WritePrivateProfileString("s", "k", "new", File));
    EXPECT_EQ(errno, EACCES);
    EXPECT_THROW(TIniFile(File).WriteString("s", "k", "new"), EIniFileException);
    struct stat st{};
    ASSERT_EQ(stat(File.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
    EXPECT_EQ(Slurp(File), "[s]\nk=old\n");

    ASSERT_EQ(chmod(File.c_str(), 0640), 0);
    uid_t owner = geteuid() == 0 ? 65534 : geteuid();
    if (geteuid() == 0) {
        ASSERT_EQ(chown(File.c_str(), owner, 65534), 0);
    }
    ASSERT_TRUE(WritePrivateProfileString("s", "k", "new", File));
    ASSERT_EQ(stat(File.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, owner);
    EXPECT_EQ(Slurp(File), "[s]\nk=new\n");
}

TEST_F(Profile, ForeignFileIsRefusedWithTheMessage)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the write as another user (nobody)";
    // A folder anyone may write, holding a file only its owner may write.
    ASSERT_EQ(chmod(Dir.Name().c_str(), 0777), 0);
    Spit(File, "[s]\nk=root\n");
    ASSERT_EQ(chmod(File.c_str(), 0644), 0);
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    setenv("QUORRELANE_PROFILE_CHILD_WRITE", File.c_str(), 1);
    TLoopProcess child({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", self});
    unsetenv("QUORRELANE_PROFILE_CHILD_WRITE");
    ASSERT_TRUE(RunUntil([&] { return child.Exited; }, 30000));
    if (child.ExitCode > 2)
        GTEST_SKIP() << "the test program cannot be run as nobody (exit " << child.ExitCode << ")";
    EXPECT_EQ(child.ExitCode, 0);
    struct stat st{};
    ASSERT_EQ(stat(File.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(Slurp(File), "[s]\nk=root\n");
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
