// Feeds arbitrary bytes to the IPMI library's settings-file reader as
// "VEXIPMIConfig.xml" in a scratch working directory, then asks for every key.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <libxml/xmlerror.h>
#include <unistd.h>

#include "VEXIPMIXMLConfiguration.h"

namespace
{

void Quiet(void*, const char*, ...) {}

bool Setup()
{
    xmlSetGenericErrorFunc(nullptr, Quiet);
    char pattern[] = "/dev/shm/fuzz_vexipmi_config_XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (dir == nullptr || chdir(dir) != 0) {
        abort();
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool ready = Setup();
    (void)ready;
    FILE* file = fopen("VEXIPMIConfig.xml", "wb");
    if (file == nullptr) {
        abort();
    }
    if (size > 0 && fwrite(data, 1, size, file) != size) {
        abort();
    }
    fclose(file);

    VEXIPMIXMLConfig config(VEXString("VEXIPMIConfig.xml"));
    config.Initialize();
    for (const char* key : {"RetryCount", "PollingInterval", "PollingCount", "RetryInterval"}) {
        int32_t value = 0;
        config.GetConfigInt(VEXString(key), value);
    }
    config.Release();
    return 0;
}
