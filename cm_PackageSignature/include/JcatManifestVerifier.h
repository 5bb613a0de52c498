#pragma once

#include <memory>

#include "PackageTrust.h"

// The manifest reader on libjcat: package.jcat as jcat-tool writes it
// (gzip-compressed Jcat JSON), SHA-256/SHA-512 checksums and PKCS#7
// signatures checked by libjcat itself against the certificates added as
// trust anchors, validity periods included. GLib and libjcat stay inside this
// library; the program installs it with pkgtrust::SetVerifierFactory.
std::unique_ptr<pkgtrust::IManifestVerifier> MakeJcatManifestVerifier();
