// Guest-side client of a storage library, sending the records the program
// sends, for what the program itself cannot show: devices whose serial is
// not a switch's (the kernel's scsi_debug), single commands with a chosen
// timeout, and a timed download for the benchmark.
//
//   sg_probe LIB list
//   sg_probe LIB cmd CTRL DEV in|out|none LEN TIMEOUT CDBHEX
//   sg_probe LIB download CTRL DEV FILE
//   sg_probe - raw DEVNODE LEN CDBHEX     (data-in through sg_pt itself, no library)
//   sg_probe --nobody LIB ...             (the same as user and group 65534, no groups)
//
// Prints one line per result; exit status 0 when every command returned 0
// with GOOD status.

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <scsi/sg_pt.h>
#include <unistd.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "StoreLibRecords.h"

namespace
{

typedef uint32_t (*Entry)(void*);
Entry gEntry;

uint32_t Send(uint8_t type, uint8_t cmd, uint32_t ctrl, uint16_t dev, void* data, uint32_t size)
{
    _SL_LIB_CMD_PARAM_T rec;
    rec.setCmdType(type);
    rec.setCmd(cmd);
    rec.setFlags(type == 0 && cmd == 0 ? 1 : 0);
    rec.setCtrlId(ctrl);
    uint8_t param[8] = {};
    storelib::PutLE16(param, dev);
    rec.setCmdParam(param);
    rec.setDataSize(size);
    rec.setDataPtr(data);
    return gEntry(rec.bytes());
}

double NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

std::string Hex(const uint8_t* p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof(b), "%02x", p[i]);
        s += b;
    }
    return s;
}

uint32_t Init(_SL_CTRL_LIST_T& list)
{
    const uint32_t rc = Send(0, 0, 0x05000000, 0, list.bytes(), _SL_CTRL_LIST_T::kSize);
    if (rc != 0) {
        std::printf("init rc=0x%x\n", rc);
    }
    return rc;
}

int List()
{
    _SL_CTRL_LIST_T list;
    if (Init(list) != 0) {
        return 1;
    }
    std::printf("controllers=%u\n", list.getCount());
    for (unsigned i = 0; i < list.getCount(); ++i) {
        CPDList pd;
        const uint32_t rc = Send(1, 4, list.getCtrlId(i), 0, pd.bytes(), CPDList::kSize);
        for (uint32_t j = 0; rc == 0 && j < pd.getCount(); ++j) {
            std::printf("ctrl=0x%08X dev=%u type=%u\n", list.getCtrlId(i), pd.getDeviceId(j),
                        pd.getPeripheralType(j));
        }
        if (rc != 0) {
            std::printf("ctrl=0x%08X pdlist rc=0x%x\n", list.getCtrlId(i), rc);
        }
    }
    return 0;
}

int Command(uint32_t ctrl, uint16_t dev, const std::string& dir, uint32_t len, uint16_t timeout,
            const std::string& cdbHex)
{
    std::vector<uint8_t> cdb;
    for (size_t i = 0; i + 1 < cdbHex.size(); i += 2) {
        cdb.push_back(static_cast<uint8_t>(std::strtoul(cdbHex.substr(i, 2).c_str(), nullptr, 16)));
    }
    _SL_CTRL_LIST_T list;
    if (Init(list) != 0) {
        return 1;
    }
    CPassThruRecord rec(len, 1);
    const uint8_t d = dir == "in"    ? CPassThruRecord::kDirFromDevice
                      : dir == "out" ? CPassThruRecord::kDirToDevice
                                     : 0;
    rec.setHeader(dev, d, cdb.data(), cdb.size());
    storelib::PutLE16(rec.bytes() + CPassThruRecord::kOffTimeout, timeout);
    const double t0 = NowMs();
    const uint32_t rc = Send(6, 0, ctrl, dev, rec.bytes(), static_cast<uint32_t>(rec.size()));
    const double ms = NowMs() - t0;
    std::printf("rc=0x%x status=%u len=%u ms=%.0f sense=%s data=%s\n", rc, rec.getScsiStatus(),
                rec.getDataLength(), ms, Hex(rec.sense(), 18).c_str(),
                Hex(rec.data(), len < 16 ? len : 16).c_str());
    return rc == 0 && rec.getScsiStatus() == 0 ? 0 : 1;
}

// 32 KiB WRITE BUFFER chunks, data mode, as the program sends them.
int Download(uint32_t ctrl, uint16_t dev, const std::string& path)
{
    // Read in one go, as the program reads its image.
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> image(in.good() ? static_cast<size_t>(in.tellg()) : 0);
    in.seekg(0);
    in.read(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
    _SL_CTRL_LIST_T list;
    if (image.empty() || image.size() > (1u << 24) || Init(list) != 0) {
        std::printf("download: nothing sent\n");
        return 1;
    }
    const double t0 = NowMs();
    uint32_t chunks = 0;
    for (size_t off = 0; off < image.size(); off += 32768) {
        const uint32_t len = static_cast<uint32_t>(std::min<size_t>(32768, image.size() - off));
        CPassThruRecord rec(len, 0);
        const uint8_t cdb[10] = {0x3B,
                                 0x02,
                                 0x00,
                                 uint8_t(off >> 16),
                                 uint8_t(off >> 8),
                                 uint8_t(off),
                                 uint8_t(len >> 16),
                                 uint8_t(len >> 8),
                                 uint8_t(len),
                                 0x00};
        rec.setHeader(dev, CPassThruRecord::kDirToDevice, cdb, sizeof(cdb));
        std::memcpy(rec.data(), image.data() + off, len);
        const uint32_t rc = Send(6, 0, ctrl, dev, rec.bytes(), static_cast<uint32_t>(rec.size()));
        ++chunks;
        if (rc != 0 || rec.getScsiStatus() != 0) {
            std::printf("download: chunk %u rc=0x%x status=%u\n", chunks, rc, rec.getScsiStatus());
            return 1;
        }
    }
    std::printf("download: bytes=%zu chunks=%u ms=%.0f\n", image.size(), chunks, NowMs() - t0);
    return 0;
}

// What the kernel does with a data-in transfer of LEN bytes, errno included.
int Raw(const char* node, uint32_t len, const std::vector<uint8_t>& cdb)
{
    const int fd = open(node, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        std::printf("raw: open %s: %s\n", node, std::strerror(errno));
        return 1;
    }
    std::vector<uint8_t> buf(len);
    uint8_t sense[32] = {};
    sg_pt_base* pt = construct_scsi_pt_obj_with_fd(fd, 0);
    set_scsi_pt_cdb(pt, cdb.data(), static_cast<int>(cdb.size()));
    set_scsi_pt_sense(pt, sense, sizeof(sense));
    set_scsi_pt_data_in(pt, buf.data(), static_cast<int>(len));
    const int rc = do_scsi_pt(pt, -1, 30, 0);
    char err[128] = "";
    get_scsi_pt_os_err_str(pt, sizeof(err), err);
    std::printf("raw: do_scsi_pt=%d (%s) os_err=%d category=%d status=%d resid=%d host=0x%x "
                "sense=%s\n",
                rc, rc < 0 ? std::strerror(-rc) : "", get_scsi_pt_os_err(pt),
                get_scsi_pt_result_category(pt), get_scsi_pt_status_response(pt),
                get_scsi_pt_resid(pt), get_scsi_pt_transport_err(pt), Hex(sense, 18).c_str());
    destruct_scsi_pt_obj(pt);
    close(fd);
    return rc == 0 ? 0 : 1;
}

std::vector<uint8_t> ParseHex(const std::string& hex)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    }
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "--nobody") {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
            std::perror("sg_probe: dropping to nobody");
            return 2;
        }
        --argc;
        ++argv;
    }
    if (argc == 6 && std::string(argv[2]) == "raw") {
        return Raw(argv[3], static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 0)),
                   ParseHex(argv[5]));
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: sg_probe LIB list|cmd|download ...\n");
        return 2;
    }
    void* h = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    gEntry = h != nullptr ? reinterpret_cast<Entry>(dlsym(h, "ProcessLibCommandIT")) : nullptr;
    if (gEntry == nullptr) {
        std::fprintf(stderr, "sg_probe: %s: %s\n", argv[1], dlerror());
        return 2;
    }
    const std::string what = argv[2];
    int rc = 2;
    if (what == "list") {
        rc = List();
    } else if (what == "cmd" && argc == 9) {
        rc = Command(static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 0)),
                     static_cast<uint16_t>(std::strtoul(argv[4], nullptr, 0)), argv[5],
                     static_cast<uint32_t>(std::strtoul(argv[6], nullptr, 0)),
                     static_cast<uint16_t>(std::strtoul(argv[7], nullptr, 0)), argv[8]);
    } else if (what == "download" && argc == 6) {
        rc = Download(static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 0)),
                      static_cast<uint16_t>(std::strtoul(argv[4], nullptr, 0)), argv[5]);
    }
    Send(0, 9, 0, 0, nullptr, 0);
    return rc;
}
