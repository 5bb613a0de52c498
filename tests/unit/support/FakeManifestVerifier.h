#pragma once

// A stand-in for the manifest reader behind pkgtrust: it accepts any text
// that starts like a PEM certificate as a trust anchor, any manifest but
// "garbage", and answers each file with the verdict the test chose for its
// ID, keeping what it was given and asked.

#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "PackageTrust.h"

struct ManifestReaderLog {
    std::vector<std::string> anchors;
    std::vector<std::string> manifests;
    std::vector<std::tuple<std::string, std::string, bool>> checks; // id, bytes, signature
};

using VerdictFor = std::function<pkgtrust::SVerdict(const std::string& id)>;

class FakeManifestVerifier : public pkgtrust::IManifestVerifier
{
public:
    FakeManifestVerifier(std::shared_ptr<ManifestReaderLog> log, VerdictFor verdictFor)
        : m_log(std::move(log)), m_verdictFor(std::move(verdictFor))
    {
    }
    bool AddTrustAnchor(const std::string& pem, std::string& why) override
    {
        m_log->anchors.push_back(pem);
        why = "crt_import: Base64 unexpected header error.";
        return pem.rfind("-----BEGIN CERTIFICATE-----", 0) == 0;
    }
    bool ReadManifest(const std::string& manifest, std::string& why) override
    {
        m_log->manifests.push_back(manifest);
        why = "not a gzip-compressed Jcat file";
        return manifest != "garbage";
    }
    pkgtrust::SVerdict Verify(const std::string& id, const void* data, size_t size,
                              bool requireSignature) override
    {
        m_log->checks.emplace_back(id, std::string(static_cast<const char*>(data), size),
                                   requireSignature);
        return m_verdictFor(id);
    }

private:
    std::shared_ptr<ManifestReaderLog> m_log;
    VerdictFor m_verdictFor;
};

inline const char kFakeCertificate[] =
    "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";

// Seams whose reader is the fake; null `verdictFor`: no reader at all.
inline pkgtrust::SSeams FakeTrustSeams(const std::string& trustFolder,
                                       std::shared_ptr<ManifestReaderLog> log,
                                       VerdictFor verdictFor)
{
    pkgtrust::SSeams seams;
    seams.trustFolder = trustFolder;
    if (verdictFor) {
        seams.makeVerifier = [log, verdictFor]() {
            return std::unique_ptr<pkgtrust::IManifestVerifier>(
                new FakeManifestVerifier(log, verdictFor));
        };
    }
    return seams;
}
