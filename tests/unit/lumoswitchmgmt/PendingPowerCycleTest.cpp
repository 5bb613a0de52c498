// The record of what waits for the power cycle, as the real store keeps it
// in a folder of the tool's own: its bytes, and the places it is not written.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>

#include "PendingPowerCycle.h"
#include "Sha256.h"

namespace
{

namespace fs = std::filesystem;

const char kBoot[] = "0e7c2a5e-7f6b-4d8a-9a51-3f1c2b6d9e10";
const char kDescriptor[] = "<SoftwareComponent vendorVersion=\"1.3.0.0\"/>";

std::string Read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Write(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

class PendingStoreTest : public ::testing::Test
{
public:
    void SetUp() override
    {
        char pattern[] = "/tmp/lumo_pending_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        top = pattern;
        fs::create_directory(top + "/pkg");
        chmod((top + "/pkg").c_str(), 0755);
        Write(top + "/pkg/package.xml", kDescriptor);
        Write(top + "/boot_id", std::string(kBoot) + "\n");
        paths.stateFolder = top + "/state";
        paths.bootId = top + "/boot_id";
        paths.packageDescriptor = top + "/pkg/package.xml";
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(top, ignored);
    }

    std::string record() const { return paths.stateFolder + "/pending-power-cycle"; }

    std::string top;
    RealPendingPowerCycleStore::Paths paths;
    std::ostringstream errors;
};

const std::vector<SPendingSwitch> kTwo = {{"104101", "1.2.10.0", "1.3.0.0", "PX1620SW1"},
                                          {"104102", "1.2.10.0", "1.3.0.0", "PX 16%20"}};

TEST_F(PendingStoreTest, RecordNamesTheBootThePackageAndEverySwitchThenForgetDropsIt)
{
    RealPendingPowerCycleStore store(paths, &errors);
    store.Record(kTwo, true);
    EXPECT_EQ("", errors.str());
    EXPECT_EQ("lumoswitch-pending-power-cycle 1\n"
              "boot " +
                  std::string(kBoot) +
                  "\n"
                  "package " +
                  Sha256Hex(kDescriptor) + " " + top +
                  "/pkg\n"
                  "power-cycle staged\n"
                  "switch 104101 1.2.10.0 1.3.0.0 PX1620SW1\n"
                  // A blank or a percent sign in a serial cannot split or fake a word.
                  "switch 104102 1.2.10.0 1.3.0.0 PX%2016%2520\n",
              Read(record()));
    struct stat folder;
    struct stat file;
    ASSERT_EQ(0, lstat(paths.stateFolder.c_str(), &folder));
    ASSERT_EQ(0, lstat(record().c_str(), &file));
    EXPECT_EQ(0700u, folder.st_mode & 07777);
    EXPECT_EQ(0600u, file.st_mode & 07777);
    EXPECT_FALSE(fs::exists(record() + ".new"));

    store.Record({kTwo[0]}, false);
    EXPECT_NE(std::string::npos, Read(record()).find("power-cycle manual\n"));
    store.Forget();
    EXPECT_FALSE(fs::exists(record()));
    EXPECT_TRUE(fs::exists(paths.stateFolder));
}

// A folder that is not the tool's own is neither written through nor used:
// one line says why, and nothing of the record appears anywhere.
TEST_F(PendingStoreTest, NoRecordWhereAnotherUserCouldHaveMadeOrReadIt)
{
    const struct {
        const char* name;
        std::function<void(PendingStoreTest&)> arrange;
        const char* why;
    } cases[] = {
        {"folder of another user",
         [](PendingStoreTest& t) {
             mkdir(t.paths.stateFolder.c_str(), 0700);
             chown(t.paths.stateFolder.c_str(), 65534, 65534);
         },
         "is not owned by root"},
        {"folder is a link",
         [](PendingStoreTest& t) {
             mkdir((t.top + "/elsewhere").c_str(), 0700);
             fs::create_directory_symlink(t.top + "/elsewhere", t.paths.stateFolder);
         },
         "is a symbolic link"},
        {"a folder above others may write to",
         [](PendingStoreTest& t) {
             mkdir((t.top + "/open").c_str(), 0777);
             chmod((t.top + "/open").c_str(), 0777);
             t.paths.stateFolder = t.top + "/open/state";
         },
         "open is writable by group or others"},
        {"no boot ID", [](PendingStoreTest& t) { t.paths.bootId = t.top + "/none"; },
         "the boot ID cannot be read"},
        {"package descriptor others may change",
         [](PendingStoreTest& t) { chmod((t.top + "/pkg/package.xml").c_str(), 0666); },
         "writable by group or others"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        errors.str("");
        c.arrange(*this);
        RealPendingPowerCycleStore store(paths, &errors);
        store.Record(kTwo, true);
        EXPECT_NE(std::string::npos,
                  errors.str().find("lumoswitch: the pending power cycle is not recorded: "))
            << errors.str();
        EXPECT_NE(std::string::npos, errors.str().find(c.why)) << errors.str();
        EXPECT_FALSE(fs::exists(record()));
        EXPECT_FALSE(fs::exists(top + "/elsewhere/pending-power-cycle"));
    }
}

} // namespace
