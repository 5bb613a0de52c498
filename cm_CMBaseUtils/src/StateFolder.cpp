#include "StateFolder.h"

const char kStateFolder[] = "/var/lib/lumoswitch";
