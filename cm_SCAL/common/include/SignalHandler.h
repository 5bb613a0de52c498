#pragma once

#include <memory>

#include "ScalSeams.h"

// Keeps an interrupt from the keyboard from cutting the controller dialogue
// short: once set up, SIGINT stays ignored for the rest of the process.
class CSignalHandler
{
public:
    explicit CSignalHandler(std::shared_ptr<IScalHost> host = std::make_shared<RealScalHost>())
        : m_host(std::move(host))
    {
    }
    // True when SIGINT is now ignored.
    bool setupSignalHandlers();

private:
    std::shared_ptr<IScalHost> m_host;
};
