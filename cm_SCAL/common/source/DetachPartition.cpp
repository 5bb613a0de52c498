#include "SecureCorvel.h"
#include "VEXIPMIUtil.h"

static const char kSrc[] = "cm_SCAL/common/source/DetachPartition";

namespace
{
const uint16_t kMaxPartitionId = 256;
// Slots 0 to 7 of a kind, as a host value whose low-byte-first form is the
// wire form 0x00 0xFF.
const uint16_t kAllSlots = 0xFF00;
} // namespace

bool secureCorvel::DetachAll()
{
    return DetachPartition(kAllSlots, kAllSlots, 1, false);
}

bool secureCorvel::DetachPartition(uint16_t staticSlots, uint16_t dynSlots, uint16_t partitionId,
                                   bool verbose)
{
    try {
        ClearIPMIRecord(IPMIReqBuf);
        bool failed = false;
        if (!IsSessionActive()) {
            logCorvelMsg(kSrc, __LINE__, "DetachPartition called with NO active session");
            storeErrorInfo(SCAL_NO_ACTIVE_SESSION);
            failed = true;
        }
        if (!failed && staticSlots != 0) {
            if (partitionId > kMaxPartitionId) {
                logCorvelMsg(kSrc, __LINE__, "Invalid partition Id specfied");
                storeErrorInfo(SCAL_INVALID_PARTITION_ID);
                failed = true;
            } else if (!unmountStatPartition(corvelPartInfo[partitionId].label)) {
                logCorvelMsg(kSrc, __LINE__, "umountStatPartition volumeLabel NOT found");
            }
        }
        if (!failed) {
            if (dynSlots != 0 && !unmountDynPartition()) {
                logCorvelMsg(kSrc, __LINE__, "umountDynPartition failed.");
            }
            if (SendCorvelRequest(oemrequest::Detach(m_sessionHandle, staticSlots, dynSlots)) !=
                0) {
                if (verbose) {
                    logCorvelMsg(kSrc, __LINE__, "DetachPartitions IPMI Request failed");
                }
                storeErrorInfo(SCAL_DETACH_FAILED);
                failed = true;
            }
        }
        if (!failed) {
            logCorvelMsg(kSrc, __LINE__, "DetachPartitions IPMI Request succeeded");
            m_staticPartMap = static_cast<uint16_t>(m_staticPartMap & ~staticSlots);
            logCorvelMsg(kSrc, __LINE__, "DetachPartition succeeded");
            ESX_RemoveEntries(staticSlots, dynSlots, partitionId);
            CleanMountedPartition();
            return true;
        }
        if (verbose) {
            logCorvelMsg(kSrc, __LINE__, "DetachPartition failed");
        }
        return false;
    } catch (...) {
        logCorvelMsg(kSrc, __LINE__, "DetachPartition failed");
        logCorvelMsg(kSrc, __LINE__, "SCAL internal error");
        storeErrorInfo(SCAL_INTERNAL_ERROR);
        return false;
    }
}
