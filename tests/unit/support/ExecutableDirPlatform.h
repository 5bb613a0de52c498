#pragma once

// The real platform with the executable's folder pointed elsewhere: the
// package folder a test, fuzzer or benchmark builds is then the one the
// program takes its package files from. Install it with
// CPlatformLayer::SetPlatformSeams.

#include <string>
#include <utility>

#include "LinuxImpl.h"

class ExecutableDirPlatform : public CLinuxImpl
{
public:
    explicit ExecutableDirPlatform(std::string dir) : m_dir(std::move(dir)) {}
    std::string getCurrentProcessDirectory() override { return m_dir + "/"; }

private:
    std::string m_dir;
};
