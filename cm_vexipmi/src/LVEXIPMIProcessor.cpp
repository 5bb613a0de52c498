#include "LVEXIPMIProcessor.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <linux/ipmi.h>
#include <sys/ioctl.h>

#include "VEXIPMILog.h"

static const char kSrc[] = "cm_vexipmi/src/LVEXIPMIProcessor";

std::atomic<uint32_t> gnMsgID{1};

const char* const kIPMIDevicePaths[3] = {"/dev/ipmi0", "/dev/ipmi/0", "/dev/ipmidev/0"};

namespace
{

// Completion code the record carries when the request never left.
constexpr uint8_t kCcSendFailed = 0x01;
// Completion code the record carries when the response was cut.
constexpr uint8_t kCcTruncated = 0x10;
// Response bytes 0 and 1 hold NetFn and command; the rest is the message data.
constexpr uint32_t kResponseDataOffset = 2;
constexpr uint32_t kMaxReceiveData = VEXIPMI_MAX_BUFFER_LENGTH - kResponseDataOffset;
constexpr uint32_t kRequestDataOffset = 2;

std::string ErrorText(int error)
{
    char buffer[256];
    return strerror_r(error, buffer, sizeof(buffer));
}

} // namespace

IPMIProcessor::IPMIProcessor(std::shared_ptr<IVEXIPMISys> sys)
    : m_pSys(std::move(sys)), m_Sys(*m_pSys)
{
}

IPMIProcessor::~IPMIProcessor()
{
    Release();
}

uint32_t IPMIProcessor::Initialize()
{
    VEXIPMI_LOG(eVEXLogInfo, "Entering IPMIProcessor::Init()\n");
    if (m_nFd >= 0) {
        VEXIPMI_LOG(eVEXLogInfo, "File Descriptor Value %d", m_nFd);
        VEXIPMI_LOG(eVEXLogInfo, "Leaving IPMIProcessor::Init()\n");
        return VEXIPMI_SUCCESS;
    }
    for (int pass = 0; pass < kIPMIOpenPasses && m_nFd < 0; ++pass) {
        for (const char* path : kIPMIDevicePaths) {
            VEXIPMI_LOG(eVEXLogInfo, "Open IPMI device : %s", path);
            m_nFd = m_Sys.Open(path, O_RDWR | O_CLOEXEC);
            if (m_nFd >= 0) {
                break;
            }
            const int error = errno;
            VEXIPMI_LOG(eVEXLogInfo, "Errno: %d, %s, open failed for device: %s", error,
                        ErrorText(error).c_str(), path);
        }
        if (m_nFd < 0) {
            VEXIPMI_LOG(eVEXLogInfo, "Can't Open any IPMI Device, retries left : %d\n",
                        kIPMIOpenPasses - pass);
            m_Sys.SleepMs(1000);
        }
    }
    if (m_nFd < 0) {
        fputs("Can't open IPMI device\n", stderr);
    }
    VEXIPMI_LOG(eVEXLogInfo, "File Descriptor Value %d", m_nFd);
    VEXIPMI_LOG(eVEXLogInfo, "Leaving IPMIProcessor::Init()\n");
    return m_nFd >= 0 ? VEXIPMI_SUCCESS : VEXIPMI_ERROR_NO_RESPONSE;
}

uint32_t IPMIProcessor::Process(CVEXIPMICommandData* data)
{
    VEXIPMI_LOG(eVEXLogInfo, "Entering IPMIProcessor::Process\n");
    LogIPMIResponse(data);
    const uint8_t* request = data->GetRequestBufferData();
    uint8_t* response = data->GetResponseBufferData(0);
    const uint32_t requestLength = data->GetRequestBufferLength();

    // A length outside the record would hand the driver bytes past the
    // request array (or a wrapped-around data length); refuse it as the
    // driver would, as a failed send.
    if (requestLength < kRequestDataOffset || requestLength > VEXIPMI_MAX_BUFFER_LENGTH) {
        VEXIPMI_LOG(eVEXLogInfo, "Invalid request length %u, request not sent", requestLength);
        response[2] = kCcSendFailed;
        VEXIPMI_LOG(eVEXLogInfo, "Leaving IPMIProcessor::ExecuteCommand()");
        return VEXIPMI_ERROR_NO_RESPONSE;
    }

    struct ipmi_system_interface_addr address = {};
    address.addr_type = IPMI_SYSTEM_INTERFACE_ADDR_TYPE;
    address.channel = IPMI_BMC_CHANNEL;
    address.lun = 0;

    const uint32_t msgId = gnMsgID.fetch_add(1);
    struct ipmi_req req = {};
    req.addr = reinterpret_cast<unsigned char*>(&address);
    req.addr_len = sizeof(address);
    req.msgid = static_cast<long>(msgId);
    req.msg.netfn = request[0];
    req.msg.cmd = request[1];
    req.msg.data = const_cast<uint8_t*>(request + kRequestDataOffset);
    req.msg.data_len = static_cast<unsigned short>(requestLength - kRequestDataOffset);

    if (m_Sys.Ioctl(m_nFd, IPMICTL_SEND_COMMAND, &req) < 0) {
        const int error = errno;
        VEXIPMI_LOG(eVEXLogInfo,
                    "Error in ioctl IPMICTL_SEND_COMMAND and last error is %d:", error);
        response[2] = kCcSendFailed;
        VEXIPMI_LOG(eVEXLogInfo, "Leaving IPMIProcessor::ExecuteCommand()");
        return VEXIPMI_ERROR_NO_RESPONSE;
    }

    const uint32_t retryCount = data->GetRetryCount();
    const uint32_t retryInterval = data->GetRetryInterval();
    for (uint32_t attempt = 1; attempt <= retryCount; ++attempt) {
        const int ready = m_Sys.WaitReadable(m_nFd, kIPMIWaitSeconds, kIPMIWaitMicroseconds);
        if (ready <= 0) {
            VEXIPMI_LOG(eVEXLogInfo,
                        "IPMI Driver Not available for Receiving IPMI Command response for  %d "
                        "time\n",
                        static_cast<int>(attempt));
            m_Sys.SleepMs(retryInterval);
            continue;
        }

        // Received into a scratch buffer: a reply to some other request must
        // not overwrite what the caller's record holds.
        uint8_t received[kMaxReceiveData] = {};
        struct ipmi_system_interface_addr from = {};
        struct ipmi_recv recv = {};
        recv.addr = reinterpret_cast<unsigned char*>(&from);
        recv.addr_len = sizeof(from);
        recv.msg.data = received;
        recv.msg.data_len = kMaxReceiveData;

        if (m_Sys.Ioctl(m_nFd, IPMICTL_RECEIVE_MSG_TRUNC, &recv) < 0) {
            const int error = errno;
            if (error == EMSGSIZE) {
                const uint32_t kept = std::min<uint32_t>(recv.msg.data_len, kMaxReceiveData);
                memcpy(response + kResponseDataOffset, received, kept);
                response[0] = recv.msg.netfn;
                response[1] = recv.msg.cmd;
                response[2] = kCcTruncated;
                VEXIPMI_LOG(eVEXLogInfo,
                            "Overurn of data and Error in ioctl IPMICTL_RECEIVE_MSG_TRUNC and last "
                            "error is %d: \n",
                            error);
                VEXIPMI_LOG(eVEXLogInfo, "Leaving IPMIProcessor::ExecuteCommand()");
                return VEXIPMI_ERROR_NO_RESPONSE;
            }
            VEXIPMI_LOG(eVEXLogInfo,
                        "Error in ioctl IPMICTL_RECEIVE_MSG_TRUNC and last error is %d:", error);
            m_Sys.SleepMs(retryInterval);
            continue;
        }

        if (recv.msgid != static_cast<long>(msgId)) {
            VEXIPMI_LOG(eVEXLogInfo, "Mismatch in message id for id number %d",
                        static_cast<int>(msgId));
            continue;
        }

        const uint32_t length = std::min<uint32_t>(recv.msg.data_len, kMaxReceiveData);
        memcpy(response + kResponseDataOffset, received, length);
        response[0] = recv.msg.netfn;
        response[1] = recv.msg.cmd;
        data->SetResponseBufferLength(length + kResponseDataOffset);
        VEXIPMI_LOG(eVEXLogInfo, "Leaving IPMIProcessor::ExecuteCommand()");
        return VEXIPMI_SUCCESS;
    }
    VEXIPMI_LOG(eVEXLogInfo, "Leaving IPMIProcessor::ExecuteCommand()");
    return VEXIPMI_ERROR_NO_RESPONSE;
}

void IPMIProcessor::Release()
{
    if (m_nFd >= 0) {
        m_Sys.Close(m_nFd);
        m_nFd = -1;
    }
}
