#pragma once

#include <string>

// SHA-256 of `bytes` as 64 lowercase hexadecimal digits.
std::string Sha256Hex(const std::string& bytes);
