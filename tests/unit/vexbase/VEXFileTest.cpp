#include "VEXFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <unistd.h>

#include "FakeHost.h"

namespace
{

TEST(VEXFile, EmptyPathDoesNotExistWithoutAskingTheFileSystem)
{
    FakeFileSystem fs;
    ScopedFileSystem installed(fs);
    const VEXFile empty;
    EXPECT_FALSE(empty.Exists());
    EXPECT_FALSE(VEXFile(VEXString("")).Exists());
    uint64_t size = 0;
    EXPECT_FALSE(empty.GetSize(size));
    EXPECT_FALSE(empty.Touch());
    EXPECT_FALSE(empty.Delete());
    EXPECT_TRUE(fs.calls.empty());
}

TEST(VEXFile, ExistsAsksWithTheUTF8Path)
{
    FakeFileSystem fs;
    fs.entries["/var/caf\xC3\xA9"] = FakeEntry{true, 0};
    ScopedFileSystem installed(fs);
    EXPECT_TRUE(VEXFile(VEXString("/var/caf\xC3\xA9")).Exists());
    EXPECT_FALSE(VEXFile(VEXString("/var/cafe")).Exists());
    EXPECT_EQ((std::vector<std::string>{"stat /var/caf\xC3\xA9", "stat /var/cafe"}), fs.calls);
}

TEST(VEXFile, TouchQuotesThePathAndSkipsDirectories)
{
    FakeFileSystem fs;
    fs.entries["/tmp/a b;rm -rf x'y"] = FakeEntry{false, 3};
    fs.entries["/tmp/dir"] = FakeEntry{true, 0};
    ScopedFileSystem installed(fs);

    EXPECT_TRUE(VEXFile(VEXString("/tmp/a b;rm -rf x'y")).Touch());
    EXPECT_EQ("shell touch -c '/tmp/a b;rm -rf x'\\''y'", fs.calls.back());

    fs.calls.clear();
    EXPECT_FALSE(VEXFile(VEXString("/tmp/dir")).Touch());
    EXPECT_FALSE(VEXFile(VEXString("/tmp/missing")).Touch());
    for (const std::string& call : fs.calls) {
        EXPECT_EQ(0u, call.rfind("stat ", 0)) << call;
    }

    fs.shellStatus = 256;
    EXPECT_FALSE(VEXFile(VEXString("/tmp/a b;rm -rf x'y")).Touch());
}

TEST(VEXFile, SizeAndEmptiness)
{
    FakeFileSystem fs;
    fs.entries["/f"] = FakeEntry{false, 12};
    fs.entries["/e"] = FakeEntry{false, 0};
    fs.entries["/d"] = FakeEntry{true, 0};
    ScopedFileSystem installed(fs);
    uint64_t size = 0;
    EXPECT_TRUE(VEXFile(VEXString("/f")).GetSize(size));
    EXPECT_EQ(12u, size);
    EXPECT_FALSE(VEXFile(VEXString("/f")).IsEmpty());
    EXPECT_TRUE(VEXFile(VEXString("/e")).IsEmpty());
    EXPECT_FALSE(VEXFile(VEXString("/d")).IsEmpty());
    EXPECT_FALSE(VEXFile(VEXString("/none")).IsEmpty());
}

TEST(VEXFile, NameParts)
{
    struct Case {
        const char* path;
        const char* name;
        const char* base;
        const char* extension;
        const char* parent;
    };
    const Case cases[] = {
        {"a/b/c.txt", "c.txt", "c", "txt", "a/b"},
        {"/x", "x", "x", "", "/"},
        {"plain", "plain", "plain", "", ""},
        {"d.ir/file", "file", "file", "", "d.ir"},
        {"a/arch.tar.gz", "arch.tar.gz", "arch.tar", "gz", "a"},
        {"dir/", "", "", "", "dir"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const VEXFile file{VEXString(c.path)};
        EXPECT_EQ(c.name, file.GetName().GetUTF8String());
        EXPECT_EQ(c.base, file.GetBaseName().GetUTF8String());
        EXPECT_EQ(c.extension, file.GetExtension().GetUTF8String());
        EXPECT_EQ(c.parent, file.GetParentPath().GetUTF8String());
    }
}

TEST(VEXFile, PathEditing)
{
    VEXFile file{VEXString("/opt/pkg/old.log")};
    file.SetName(VEXString("new.log"));
    EXPECT_EQ("/opt/pkg/new.log", file.GetPath().GetUTF8String());
    file.SetExtension(VEXString("xml"));
    EXPECT_EQ("/opt/pkg/new.xml", file.GetPath().GetUTF8String());
    file.SetExtension(VEXString());
    EXPECT_EQ("/opt/pkg/new", file.GetPath().GetUTF8String());
    file.RemoveName();
    EXPECT_EQ("/opt/pkg", file.GetPath().GetUTF8String());
    file.AppendName(VEXString("payload"));
    EXPECT_EQ("/opt/pkg/payload", file.GetPath().GetUTF8String());

    VEXFile rooted{VEXString("/")};
    rooted.AppendName(VEXString("etc"));
    EXPECT_EQ("/etc", rooted.GetPath().GetUTF8String());

    EXPECT_TRUE(VEXFile(VEXString("/a/ok.txt")).HasValidPath());
    EXPECT_FALSE(VEXFile(VEXString("/a/b?c")).HasValidPath());
    EXPECT_FALSE(VEXFile().HasValidPath());
}

TEST(VEXFile, ValueSemantics)
{
    const VEXFile a{VEXString("/x/y")};
    VEXFile b;
    EXPECT_FALSE(b.HasPath());
    b = a;
    EXPECT_TRUE(a == b);
    VEXFile c(a);
    c.SetPath(VEXString("/x/Y"));
    EXPECT_TRUE(a != c);
    EXPECT_FALSE(c.CanOpen());
    EXPECT_FALSE(c.IsOpen());
}

// The real file system, in a scratch directory.
class VEXFileOnDisk : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(
            VEXFileUtil::CreateTempDirectory(VEXString("/tmp"), VEXString("vexfile"), m_Dir));
    }
    void TearDown() override
    {
        const std::string command = "rm -rf '" + m_Dir.GetPath().GetUTF8String() + "'";
        ASSERT_EQ(0, std::system(command.c_str()));
    }
    VEXFile Child(const char* name) const
    {
        VEXFile file(m_Dir);
        file.AppendName(VEXString(name));
        return file;
    }
    VEXFile m_Dir;
};

TEST_F(VEXFileOnDisk, FilesAndDirectoriesLifecycle)
{
    EXPECT_TRUE(m_Dir.Exists());
    const VEXFile file = Child("f\xC3\xA9.txt");
    EXPECT_FALSE(file.Exists());
    EXPECT_TRUE(file.ParentExists());
    EXPECT_TRUE(file.Create());
    EXPECT_TRUE(file.Exists());
    EXPECT_TRUE(file.IsEmpty());
    EXPECT_TRUE(file.Touch());
    EXPECT_TRUE(file.Delete());
    EXPECT_FALSE(file.Exists());

    const VEXFile dir = Child("sub");
    EXPECT_TRUE(dir.MakeDirectory());
    EXPECT_TRUE(dir.Exists());
    EXPECT_FALSE(dir.MakeDirectory());
}

TEST_F(VEXFileOnDisk, UtilityCopiesMovesAndLists)
{
    const VEXFile a = Child("a.bin");
    {
        std::ofstream(a.GetPath().GetUTF8String()) << "payload";
    }
    EXPECT_TRUE(VEXFileUtil::CopyFile(a, Child("b.bin")));
    EXPECT_TRUE(VEXFileUtil::MoveFile(Child("b.bin"), Child("c.bin")));
    EXPECT_FALSE(Child("b.bin").Exists());
    EXPECT_TRUE(Child("sub").MakeDirectory());
    EXPECT_TRUE(VEXFileUtil::CopyFile(a, Child("sub/inner.bin")));
    EXPECT_TRUE(VEXFileUtil::CopyDirectory(Child("sub"), Child("sub2")));
    EXPECT_TRUE(Child("sub2/inner.bin").Exists());
    EXPECT_FALSE(VEXFileUtil::CopyDirectory(Child("a.bin"), Child("sub3")));

    std::vector<VEXString> names;
    EXPECT_TRUE(VEXFileUtil::ListDirectory(m_Dir, names));
    ASSERT_EQ(4u, names.size());
    EXPECT_EQ("a.bin", names[0].GetUTF8String());
    EXPECT_EQ("c.bin", names[1].GetUTF8String());
    EXPECT_EQ("sub", names[2].GetUTF8String());
    EXPECT_EQ("sub2", names[3].GetUTF8String());
    uint64_t size = 0;
    EXPECT_TRUE(Child("c.bin").GetSize(size));
    EXPECT_EQ(7u, size);
    EXPECT_FALSE(VEXFileUtil::ListDirectory(Child("nothing"), names));
    EXPECT_FALSE(VEXFileUtil::GetExecutablePath().empty());
}

} // namespace
