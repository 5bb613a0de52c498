// The one list of the requests the management controller is sent, with the
// names logs, summaries and the simulated controller print for them. It
// depends on nothing, so the recorders' summary and the simulator name
// requests from it too (the header-only target oemcommands).
#pragma once

#include <cstdint>

const uint8_t kOEMNetFn = 0x30;
const uint8_t kAppNetFn = 0x06;

// OEM command bytes.
enum eOEMIPMIRequestType : uint8_t {
    eCorvelCommand = 0xA2,     // repository sub-commands
    eCorvelType = 0xAD,        // repository type
    eCorvelAccessState = 0xAE, // repository access state
};

const uint8_t kSystemGenerationCmd = 0xBD;
// Standard commands of the Application network function.
const uint8_t kGetDeviceIdCmd = 0x01; // sent by the kernel's driver, not by the program
const uint8_t kColdResetCmd = 0x02;

// Repository sub-commands (command 0xA2): enumerator, code, the name the
// request dump shows, and whether the request only reads (Query) or may
// change the controller's state (Change). The one list the enum, the names
// and the overrun rule come from.
#define LUMO_CORVEL_SUBCOMMANDS(X)                                                                 \
    X(eBeginCORVELSession, 0x00, "BeginCORVELSession", Change)                                     \
    X(eEndCORVELSession, 0x01, "EndCORVELSession", Change)                                         \
    X(eResetCORVELSessionWD, 0x02, "ResetCORVELSessionWD", Change)                                 \
    X(eGetPartitionIndexInfo, 0x03, "Getpartitionindexinfo", Query)                                \
    X(eGetPartitionInfo, 0x04, "GetPartitionInfo", Query)                                          \
    X(eAttachPartitions, 0x05, "AttachPartitions", Change)                                         \
    X(eDetachPartitions, 0x06, "DetachPartitions", Change)                                         \
    X(eCreateDynamicPartition, 0x07, "CreateDynamicPartition", Change)                             \
    X(eDeleteDynamicPartition, 0x08, "DeleteDynamicPartition", Change)                             \
    X(eSecureCORVELUpdate, 0x09, "SecureCORVELUpdate", Change)                                     \
    X(eGetCORVELStatus, 0x0A, "GetCORVELStatus", Query)                                            \
    X(eChangePartitionAccessType, 0x0B, "ChangePartitionAccessType", Change)                       \
    X(eRegisterSSIBTask, 0x0C, "RegisterSSIBTask", Change)                                         \
    X(eGetStateFlag, 0x10, "getStateFlagCmd", Query)                                               \
    X(eSetStateFlag, 0x11, "setStateFlagCmd", Change)                                              \
    X(eBeginCORVELSessionExtended, 0x12, "BeginCORVELSessionExtended", Change)                     \
    X(eBeginSecureUpdate, 0x20, "BeginSecureUpdate", Change)                                       \
    X(eProcessSecureUpdate, 0x22, "ProcessSecureUpdate", Change)                                   \
    X(eEndSecureUpdate, 0x23, "EndSecureUpdate", Change)                                           \
    X(eGetVantorSystemInfo, 0x30, "GetVantorSystemInfo", Change)

#define LUMO_CORVEL_ENUMERATOR(name, code, text, kind) name = code,
enum eCorvelSubCommand : uint8_t { LUMO_CORVEL_SUBCOMMANDS(LUMO_CORVEL_ENUMERATOR) };
#undef LUMO_CORVEL_ENUMERATOR

// The other requests: network function, command, name.
#define LUMO_IPMI_COMMANDS(X)                                                                      \
    X(kOEMNetFn, eCorvelType, "RepositoryType")                                                    \
    X(kOEMNetFn, eCorvelAccessState, "AccessState")                                                \
    X(kOEMNetFn, kSystemGenerationCmd, "SystemGeneration")                                         \
    X(kAppNetFn, kGetDeviceIdCmd, "GetDeviceID")                                                   \
    X(kAppNetFn, kColdResetCmd, "ColdReset")

namespace oemcommands
{

// Name of a repository sub-command; nullptr when the list has none.
inline const char* SubCommandName(uint8_t code)
{
#define LUMO_CORVEL_NAME_CASE(name, value, text, kind)                                             \
    case value:                                                                                    \
        return text;
    switch (code) {
        LUMO_CORVEL_SUBCOMMANDS(LUMO_CORVEL_NAME_CASE)
    default:
        return nullptr;
    }
#undef LUMO_CORVEL_NAME_CASE
}

// Name of a request other than a repository sub-command; nullptr when the
// list has none.
inline const char* CommandName(uint8_t netFn, uint8_t command)
{
#define LUMO_IPMI_COMMAND_NAME(fn, cmd, text)                                                      \
    if (netFn == (fn) && command == (cmd)) {                                                       \
        return text;                                                                               \
    }
    LUMO_IPMI_COMMANDS(LUMO_IPMI_COMMAND_NAME)
#undef LUMO_IPMI_COMMAND_NAME
    return nullptr;
}

} // namespace oemcommands
