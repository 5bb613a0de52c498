// The simulated library's core in process, as the device manager's unit
// tests drive it: a topology handed in rather than read from a file, taken
// again at every SL_INIT_LIB, and the commands it refused listed.

#include <stdlib.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Library.h"

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes Record(uint8_t type, uint8_t cmd, uint8_t flags, uint32_t ctrl, void* data, uint32_t size)
{
    Bytes r(40, 0);
    r[0] = type;
    r[1] = cmd;
    r[2] = flags;
    for (int i = 0; i < 4; ++i) {
        r[4 + i] = uint8_t(ctrl >> (8 * i));
        r[28 + i] = uint8_t(size >> (8 * i));
    }
    const uint64_t p = reinterpret_cast<uintptr_t>(data);
    for (int i = 0; i < 8; ++i) {
        r[32 + i] = uint8_t(p >> (8 * i));
    }
    return r;
}

class LibraryCoreTest : public ::testing::Test
{
public:
    void SetUp() override
    {
        char tmpl[] = "/tmp/storelib_core_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
    }
    void TearDown() override { std::system(("rm -rf '" + dir + "'").c_str()); }

    uint32_t init(storelibsim::Library& lib, Bytes& list)
    {
        list.assign(260, 0xFF);
        Bytes rec = Record(0, 0, 1, 0x05000000, list.data(), 260);
        return lib.handle(rec.data());
    }

    std::string dir;
};

TEST_F(LibraryCoreTest, HandedInTopologyIsTakenAgainAtEveryInitAndRefusalsAreListed)
{
    storelibsim::Topology topology;
    storelibsim::Controller c;
    c.id = 0x05000000;
    topology.controllers = {c};
    storelibsim::Library lib(
        [this] {
            return storelibsim::Places{"", dir};
        },
        [&topology](const std::string&, storelibsim::Topology& out, std::string&) {
            out = topology;
            return true;
        });
    Bytes list;
    ASSERT_EQ(0u, init(lib, list));
    EXPECT_EQ(1, list[0]);

    c.id = 0x05000001;
    topology.controllers.push_back(c);
    topology.initResult = 0;
    ASSERT_EQ(0u, init(lib, list));
    EXPECT_EQ(2, list[0]) << "the changed topology counts from the next SL_INIT_LIB on";

    Bytes pd(6144, 0);
    Bytes wrongSize = Record(1, 4, 0, 0x05000000, pd.data(), 6144);
    EXPECT_EQ(storelibsim::kErrMalformed, lib.handle(wrongSize.data()));
    ASSERT_EQ(1u, lib.refusals().size());
    EXPECT_EQ("GET_PD_LIST ctrl=0x05000000 size=6144 wrong list size", lib.refusals()[0]);

    std::ifstream trace(dir + "/storelib_trace.log");
    std::stringstream text;
    text << trace.rdbuf();
    EXPECT_NE(std::string::npos,
              text.str().find("ERROR GET_PD_LIST ctrl=0x05000000 size=6144 wrong list size -> "
                              "rc=0xE0\n"))
        << text.str();
}

} // namespace
