#include <cctype>

#include "SecureCorvel.h"

static const char kSrc[] = "cm_SCAL/common/source/AttachCorvelPartition";

uint16_t secureCorvel::getPartIndex(const std::string& name)
{
    logCorvelMsg(kSrc, __LINE__, "SCAL info : PartName = [" + name + "]");
    if (name.size() < 6) {
        logCorvelMsg(kSrc, __LINE__, "SCAL error : PartName length is lesser than expected!!!");
        return 0;
    }
    unsigned number = 0;
    for (std::size_t i = 3; i < 6; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) {
            return 0;
        }
        number = number * 10 + static_cast<unsigned>(name[i] - '0');
    }
    // The name comes from the controller; "COR257" to "COR999" name no entry
    // of the table and must not be used as an index into it.
    if (number >= kCorvelPartCount) {
        logCorvelMsg(kSrc, __LINE__, "SCAL error : PartName index is beyond the partition table");
        return 0;
    }
    return static_cast<uint16_t>(number);
}
