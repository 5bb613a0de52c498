#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

// Signed packages. A package may carry "package.jcat", a Jcat manifest of
// checksums and PKCS#7 signatures of its files, item IDs being paths in the
// package folder ("package.xml", "payload/<image>", "libstorelibit.so",
// "doRPM.sh", the rule files). A host trusts a signer by putting its PEM
// certificate into the trust folder (/etc/lumoswitch/trust/). Then:
//
//   no certificate, no manifest   nothing is checked, as before manifests;
//   a manifest, no certificate    every file used must match its checksum;
//   at least one certificate      every file used must be listed with a
//                                 checksum and carry a valid signature by one
//                                 of them (which covers its SHA-256 digest).
//
// A file is checked in the bytes the program then uses (the image in the
// buffer it is sent from, the library through the descriptor it is loaded
// from, package.xml before it is parsed, doRPM.sh before it runs); a file that
// fails is not used. A trust folder that may not be trusted refuses the run.
//
// The manifest reader itself sits behind IManifestVerifier: the program
// installs the libjcat one (cm_PackageSignature); without it every manifest
// and every certificate is unreadable, so nothing passes that needed checking.
namespace pkgtrust
{

// What the manifest says of one file's bytes.
enum class EVerdict {
    Verified,
    NotListed,        // no item of that ID
    NoChecksum,       // the item carries no SHA-256 or SHA-512 checksum
    ChecksumMismatch, // a checksum of the item does not match the bytes
    NoSignature,      // a signature was required and the item has none
    SignerNotTrusted, // no signature verifies against the trusted certificates
    SignerExpired,    // a signature verifies only when its validity period is ignored
};

struct SVerdict {
    EVerdict verdict = EVerdict::NotListed;
    // The reader's own words: the signer that verified, or why none did.
    std::string detail;
};

// Reads one manifest and verifies bytes against its items.
class IManifestVerifier
{
public:
    virtual ~IManifestVerifier() = default;
    // One trusted signer; false and why when the text is not a PEM certificate.
    virtual bool AddTrustAnchor(const std::string& pem, std::string& why) = 0;
    // The manifest's bytes as found in the package; false and why when they
    // are not a manifest this program accepts.
    virtual bool ReadManifest(const std::string& manifest, std::string& why) = 0;
    virtual SVerdict Verify(const std::string& id, const void* data, size_t size,
                            bool requireSignature) = 0;
};

using VerifierFactory = std::function<std::unique_ptr<IManifestVerifier>()>;

struct SSeams {
    // Empty: a verifier that can read neither manifests nor certificates.
    VerifierFactory makeVerifier;
    std::string trustFolder = "/etc/lumoswitch/trust";
};

// Installs the seams and forgets what was prepared, so the next use examines
// the trust folder and the manifest again; returns the seams before.
SSeams SetSeams(SSeams seams);
// The program's one call: the manifest reader it links.
void SetVerifierFactory(VerifierFactory factory);

enum class EMode { Off, Checksums, Signatures };

// Examines the trust folder and reads package.jcat, once per process (later
// calls give the first answer). False, and why, when the run must be refused:
// the trust folder, its parent or a certificate in it may not be trusted or
// cannot be read.
bool Prepare(std::string& why);
EMode Mode();

// Empty when the bytes may be used as the package file `id`; otherwise why
// not. Prepares first when nobody has.
std::string Check(const std::string& id, const void* data, size_t size);

// Check for the regular file open on `fd`, read whole from its start (at most
// maxBytes); the bytes read are left in `content` when it is given.
std::string CheckDescriptor(const std::string& id, int fd, std::string* content = nullptr,
                            size_t maxBytes = size_t(256) << 20);

// The item ID of a path in the package folder ("./doRPM.sh" and
// "<folder>/doRPM.sh" are "doRPM.sh"); the path itself when it lies elsewhere.
std::string ItemId(const std::string& path);

// Why the file `id` was last refused by Check in this process; empty when it
// never was.
std::string RefusalOf(const std::string& id);

// A refusal on standard error and in the debug log, as the package files'
// other refusals are, but once per file and reason: the descriptor is read
// many times in a run.
void ReportRefusal(const std::string& path, const std::string& why);

} // namespace pkgtrust
