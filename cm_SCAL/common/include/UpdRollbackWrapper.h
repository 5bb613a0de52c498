// The access layer as the update path uses it: construction brings it to the
// ready state or throws the error code as an unsigned char (the shut-down has
// then already run); deletion through the base shuts it down.
#pragma once

#include "SecureCorvel.h"

class UpdRollbackWrapper : public secureCorvel
{
public:
    explicit UpdRollbackWrapper(ScalSeams seams = ScalSeams());
    ~UpdRollbackWrapper() override;
};
