// The entry point a package finds when it ships this library as
// ./libstorelibit.so. One instance serves the program's single thread.

#include <cstdint>

#include "SgStoreLib.h"

extern "C" __attribute__((visibility("default"))) uint32_t ProcessLibCommandIT(void* pCmdParam)
{
    static sgstorelib::SgStoreLib library;
    return library.Process(static_cast<uint8_t*>(pCmdParam));
}
