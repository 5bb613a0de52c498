#pragma once

#include <cstdint>

#include "VEXIPMICommandData.h"

class VEXString;

// Front of the IPMI library. The program keeps one; it initialises logging,
// the kernel drivers and the calling thread's session, and forwards each
// request record to the calling thread's session.
class VEXIPMIInterfaceImpl
{
public:
    VEXIPMIInterfaceImpl() = default;
    // Destroys every session and terminates the library's logger.
    virtual ~VEXIPMIInterfaceImpl();

    VEXIPMIInterfaceImpl(const VEXIPMIInterfaceImpl&) = delete;
    VEXIPMIInterfaceImpl& operator=(const VEXIPMIInterfaceImpl&) = delete;

    // configuration may be null. 0 on success, the driver status when the
    // kernel drivers are unusable, VEXIPMI_ERROR_INVALID (257) when the
    // calling thread's session could not open the device.
    uint32_t Initialize(_VEXIPMIConfiguration* configuration);
    // Reads the retry settings from the named XML file, then as above.
    uint32_t Initialize(const VEXString& configurationFileName);

    // 0 when a response was stored in the record (its completion code is
    // response byte 2), 257 for a null record or a session that cannot be
    // initialised, 320 when no response arrived.
    uint32_t IPMIRequest(_VEXIPMICommandData* record);

    // Releases the calling thread's session (closes its device); true.
    bool Release();

    // Opens the library's logs when the debug marker file exists.
    void InitializeVEXLogger();
};
