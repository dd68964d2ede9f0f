#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>

#include "TestSupport.h"
#include "platform/FileStream.h"

namespace {

class FileStreamTest : public ::testing::Test {
protected:
    FileStreamTest()
    {
        File = Dir + "/f.bin";
    }
    bool Opens(uint16_t Mode)
    {
        try {
            TFileStream s(File, Mode);
            return true;
        } catch (const EStreamError&) {
            return false;
        }
    }
    TTempDir Temp;
    std::string Dir = Temp.Name(), File;
};

} // namespace

TEST_F(FileStreamTest, CreateWriteSeekReadSize)
{
    EXPECT_FALSE(FileExists(File));
    {
        TFileStream s(File, fmCreate);
        s.WriteBuffer("hello world", 11);
        EXPECT_EQ(s.Size(), 11);
        EXPECT_EQ(s.Seek(6, soFromBeginning), 6);
        char buf[5];
        s.ReadBuffer(buf, 5);
        EXPECT_EQ(std::string(buf, 5), "world");
        EXPECT_EQ(s.Read(buf, 5), 0);
        EXPECT_THROW(s.ReadBuffer(buf, 1), EReadError);
        s.SetSize(5);
        EXPECT_EQ(s.Size(), 5);
        EXPECT_EQ(s.Position(), 5);
    }
    EXPECT_TRUE(FileExists(File));
    EXPECT_FALSE(FileExists(Dir));
    TFileStream r(File, fmOpenRead | fmShareDenyNone);
    EXPECT_EQ(r.Size(), 5);
    char buf[6] = {};
    EXPECT_EQ(r.Read(buf, 6), 5);
    EXPECT_STREQ(buf, "hello");
    EXPECT_EQ(r.Write("x", 1), 0);

    try {
        TFileStream missing(Dir + "/none", fmOpenRead);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot open file " + Dir + "/none");
    }
    EXPECT_THROW(TFileStream(Dir + "/no/dir", fmCreate), EFCreateError);
}

TEST_F(FileStreamTest, SharingModesBetweenOpens)
{
    { TFileStream c(File, fmCreate); c.WriteBuffer("data", 4); }
    {
        TFileStream reader(File, fmOpenRead | fmShareDenyWrite);
        EXPECT_TRUE(Opens(fmOpenRead | fmShareDenyWrite));
        EXPECT_TRUE(Opens(fmOpenRead | fmShareDenyNone));
        EXPECT_FALSE(Opens(fmOpenWrite | fmShareDenyNone));
        EXPECT_FALSE(Opens(fmOpenRead | fmShareDenyRead));   // denies the reader's access
        EXPECT_FALSE(Opens(fmOpenRead | fmShareExclusive));
        EXPECT_FALSE(Opens(fmCreate));
        // A refused create leaves the file whole.
        EXPECT_EQ(reader.Size(), 4);
    }
    {
        TFileStream excl(File, fmOpenReadWrite | fmShareExclusive);
        EXPECT_FALSE(Opens(fmOpenRead | fmShareDenyNone));
    }
    {
        TFileStream compat(File, fmOpenRead);  // compatibility mode shares nothing
        EXPECT_FALSE(Opens(fmOpenRead | fmShareDenyNone));
    }
    {
        TFileStream writer(File, fmOpenWrite | fmShareDenyNone);
        EXPECT_TRUE(Opens(fmOpenRead | fmShareDenyNone));
        EXPECT_FALSE(Opens(fmOpenRead | fmShareDenyWrite));  // the writer is already there
    }
    EXPECT_TRUE(Opens(fmOpenReadWrite | fmShareExclusive));
    EXPECT_TRUE(DeleteFile(File));
    EXPECT_FALSE(FileExists(File));
}
