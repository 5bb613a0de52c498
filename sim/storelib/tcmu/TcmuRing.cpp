#include "TcmuRing.h"

#include <cstring>
#include <vector>

#include "TcmuLayout.h"

namespace storelibsim
{
namespace
{

const TcmuLayout& L = kTcmuLayout;

bool Inside(uint64_t offset, uint64_t length, size_t mapSize)
{
    return offset <= mapSize && length <= mapSize - offset;
}

// Native-endian fields of the shared mapping, the kernel being the other side.
template <typename T> T Load(const uint8_t* p)
{
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}
template <typename T> void Store(uint8_t* p, T v)
{
    std::memcpy(p, &v, sizeof(T));
}

struct Span {
    uint64_t offset;
    uint64_t length;
};

} // namespace

int ServeRing(uint8_t* map, size_t mapSize, const CommandServer& server)
{
    if (mapSize < L.mailboxSize) {
        return -1;
    }
    __sync_synchronize();
    const uint32_t ringOff = Load<uint32_t>(map + L.mbCmdrOff);
    const uint32_t ringSize = Load<uint32_t>(map + L.mbCmdrSize);
    const uint32_t head = Load<uint32_t>(map + L.mbCmdHead);
    const bool readLen = (Load<uint16_t>(map + L.mbFlags) & L.capReadLen) != 0;
    if (ringSize == 0 || !Inside(ringOff, ringSize, mapSize) || head >= ringSize) {
        return -1;
    }
    uint32_t tail = Load<uint32_t>(map + L.mbCmdTail);
    int taken = 0;
    auto stop = [&](int result) {
        __sync_synchronize();
        Store<uint32_t>(map + L.mbCmdTail, tail);
        return result;
    };
    while (tail != head) {
        if (tail >= ringSize || ringSize - tail < L.hdrUflags + 1) {
            return stop(-1);
        }
        uint8_t* ent = map + ringOff + tail;
        const uint32_t lenOp = Load<uint32_t>(ent + L.hdrLenOp);
        const uint32_t len = lenOp & ~L.opMask;
        const uint32_t op = lenOp & L.opMask;
        if (len == 0 || len > ringSize - tail) {
            return stop(-1);
        }
        if (op == L.opCmd) {
            // The answer overlays the request: take everything out first.
            if (len < L.entrySize) {
                return stop(-1);
            }
            const uint32_t iovCount = Load<uint32_t>(ent + L.reqIovCnt);
            if (iovCount > (len - L.reqIov) / L.iovSize) {
                return stop(-1);
            }
            std::vector<Span> spans;
            std::vector<uint8_t> data;
            for (uint32_t i = 0; i < iovCount; ++i) {
                const uint8_t* v = ent + L.reqIov + i * L.iovSize;
                const Span s{Load<uint64_t>(v + L.iovBase), Load<uint64_t>(v + L.iovLen)};
                if (!Inside(s.offset, s.length, mapSize)) {
                    return stop(-1);
                }
                spans.push_back(s);
                data.insert(data.end(), map + s.offset, map + s.offset + s.length);
            }
            const uint64_t cdbOff = Load<uint64_t>(ent + L.reqCdbOff);
            uint8_t cdb[16] = {};
            if (!Inside(cdbOff, 1, mapSize)) {
                return stop(-1);
            }
            const size_t cdbLength = SwitchTarget::CdbLength(map[cdbOff]);
            if (!Inside(cdbOff, cdbLength, mapSize)) {
                return stop(-1);
            }
            std::memcpy(cdb, map + cdbOff, cdbLength);

            const ScsiAnswer answer = server(cdb, data.data(), data.size());

            size_t copied = 0;
            if (answer.status == 0) {
                for (const Span& s : spans) {
                    if (copied == answer.dataIn.size()) {
                        break;
                    }
                    const size_t n = std::min<size_t>(s.length, answer.dataIn.size() - copied);
                    std::memcpy(map + s.offset, answer.dataIn.data() + copied, n);
                    copied += n;
                }
            }
            ent[L.rspStatus] = answer.status;
            std::memset(ent + L.rspSense, 0, L.senseSize);
            if (!answer.sense.empty()) {
                std::memcpy(ent + L.rspSense, answer.sense.data(),
                            std::min<size_t>(answer.sense.size(), L.senseSize));
            }
            if (readLen && answer.status == 0) {
                // Counts for reads only; a shorter answer leaves a residual.
                ent[L.hdrUflags] |= L.uflagReadLen;
                Store<uint32_t>(ent + L.rspReadLen, static_cast<uint32_t>(copied));
            }
        } else if (op != L.opPad) {
            ent[L.hdrUflags] |= L.uflagUnknownOp;
        }
        tail = (tail + len) % ringSize;
        ++taken;
    }
    return stop(taken);
}

} // namespace storelibsim
