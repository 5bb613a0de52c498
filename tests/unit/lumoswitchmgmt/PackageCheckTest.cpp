// The update pass with the package's files checked against package.jcat (the
// reader a fake): a refused image fails its switch alone and sends nothing,
// the bytes checked are the bytes sent, a refused package.xml fails every
// switch, and a refused library is named in the report.

#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "DeviceInfo.h"
#include "FakeManifestVerifier.h"
#include "FakeSwitchLibrary.h"

namespace
{

using namespace mgmttest;
using pkgtrust::EVerdict;

std::string Key(size_t row)
{
    return PlatformSerialTable().at(row).key;
}
std::string Id(size_t row)
{
    return PlatformSerialTable().at(row).componentID;
}

// Two switches as in the update driver's tests, a host that trusts one
// signer and a package that carries a manifest.
class PackageCheckTest : public MgmtFixture
{
public:
    void SetUp() override
    {
        MgmtFixture::SetUp();
        FakeController c;
        c.id = 0x05000000;
        FakeSwitch a;
        a.id = 1;
        a.serial = Key(0);
        FakeSwitch b;
        b.id = 2;
        b.serial = Key(1);
        c.switches = {a, b};
        lib.controllers = {c};
        writeBytes("payload/a.bin", Bytes(40000, 0xA1));
        writeBytes("payload/b.bin", Bytes(1000, 0xB2));
        writePackage({{Id(0), "One", "a.bin"}, {Id(1), "Two", "b.bin"}});
        write("package.jcat", "manifest");
        std::filesystem::create_directories(dir + "/etc/trust");
        write("etc/trust/maker.pem", kFakeCertificate);
        log = std::make_shared<ManifestReaderLog>();
        m_previous = pkgtrust::SetSeams(
            FakeTrustSeams(dir + "/etc/trust", log, [this](const std::string& id) {
                const auto it = refused.find(id);
                return it == refused.end() ? pkgtrust::SVerdict{EVerdict::Verified, ""}
                                           : it->second;
            }));
    }
    void TearDown() override
    {
        pkgtrust::SetSeams(m_previous);
        MgmtFixture::TearDown();
    }

    std::vector<CDeviceInfo*> update()
    {
        auto mgmt = makeManager();
        return adopt(mgmt->Update());
    }

    Bytes received(uint16_t device)
    {
        Bytes all;
        for (const Chunk& c : lib.chunksOf(device)) {
            all.insert(all.end(), c.data.begin(), c.data.end());
        }
        return all;
    }

    std::shared_ptr<ManifestReaderLog> log;
    std::map<std::string, pkgtrust::SVerdict> refused;

private:
    pkgtrust::SSeams m_previous;
};

TEST_F(PackageCheckTest, ARefusedImageFailsItsSwitchAloneAndNothingIsSentToIt)
{
    refused["payload/a.bin"] = {EVerdict::ChecksumMismatch, "sha256"};
    const auto devices = update();
    ASSERT_EQ(2u, devices.size());
    EXPECT_EQ(1, devices[0]->getStatus());
    EXPECT_EQ("ERROR: payload/a.bin refused: checksum mismatch against package.jcat",
              devices[0]->getErrorMsg());
    EXPECT_FALSE(devices[0]->getRebootRequired());
    EXPECT_TRUE(lib.chunksOf(1).empty());
    EXPECT_EQ(0, devices[1]->getStatus());
    EXPECT_EQ(Bytes(1000, 0xB2), received(2));
    EXPECT_EQ(1, stagingCalls);
}

TEST_F(PackageCheckTest, TheBytesCheckedAreTheBytesSent)
{
    update();
    std::map<std::string, std::string> checked;
    for (const auto& check : log->checks) {
        EXPECT_TRUE(std::get<2>(check)) << std::get<0>(check) << ": signature not asked for";
        checked[std::get<0>(check)] = std::get<1>(check);
    }
    ASSERT_EQ(1u, checked.count("payload/a.bin"));
    const Bytes a = received(1);
    EXPECT_EQ(std::string(a.begin(), a.end()), checked["payload/a.bin"]);
    EXPECT_EQ(read("package.xml"), checked["package.xml"]);
}

TEST_F(PackageCheckTest, ARefusedDescriptorFailsEverySwitchWithTheReason)
{
    refused["package.xml"] = {EVerdict::NoSignature, ""};
    const auto devices = update();
    ASSERT_EQ(2u, devices.size());
    for (CDeviceInfo* d : devices) {
        EXPECT_EQ(1, d->getStatus());
        EXPECT_EQ("ERROR: package.xml refused: no signature in package.jcat", d->getErrorMsg());
    }
    EXPECT_TRUE(lib.chunks.empty());
    EXPECT_EQ(0, stagingBuilt);
}

TEST_F(PackageCheckTest, ARefusedLibraryIsNamedWhereTheReportFindsNoSwitch)
{
    // The real loader checks the library through its descriptor; here the
    // refusal is recorded as it would be and the library does not load.
    refused["libstorelibit.so"] = {EVerdict::SignerNotTrusted, "failed to verify data for CN=X"};
    EXPECT_NE("", pkgtrust::Check("libstorelibit.so", "ELF", 3));
    sys->libraries.clear();
    EXPECT_TRUE(update().empty());
    EXPECT_NE(std::string::npos,
              read("report.xml")
                  .find("<Message id=\"1\" >ERROR: libstorelibit.so refused: signer not trusted "
                        "(failed to verify data for CN=X)</Message>"));
}

} // namespace
