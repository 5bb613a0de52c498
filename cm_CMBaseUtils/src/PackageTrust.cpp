#include "PackageTrust.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "Logger.h"
#include "PackageFiles.h"
#include "StringUtils.h"

namespace
{

const char kSrc[] = "cm_CMBaseUtils/src/PackageTrust";

const char kManifestName[] = "package.jcat";
// A manifest of a package's dozen files with their signatures is some tens of
// KiB; the reader gets no more than this from the disk.
constexpr size_t kMaxManifestBytes = size_t(1) << 20;
// A certificate is a few KiB of PEM.
constexpr size_t kMaxCertificateBytes = size_t(64) << 10;

void Log(unsigned int line, const std::string& text)
{
    CLogger::GetInstance()->log(kSrc, line, text);
}

// Knows no manifest and no certificate: whatever needed checking is refused.
class NoManifestVerifier : public pkgtrust::IManifestVerifier
{
public:
    bool AddTrustAnchor(const std::string&, std::string& why) override
    {
        why = kWhy;
        return false;
    }
    bool ReadManifest(const std::string&, std::string& why) override
    {
        why = kWhy;
        return false;
    }
    pkgtrust::SVerdict Verify(const std::string&, const void*, size_t, bool) override
    {
        return pkgtrust::SVerdict{pkgtrust::EVerdict::NotListed, kWhy};
    }

private:
    static constexpr const char* kWhy = "this program has no manifest reader";
};

class FdHolder
{
public:
    explicit FdHolder(int fd) : m_fd(fd) {}
    ~FdHolder()
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    FdHolder(const FdHolder&) = delete;
    FdHolder& operator=(const FdHolder&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

struct State {
    pkgtrust::SSeams seams;
    bool prepared = false;
    std::string runRefusal;
    pkgtrust::EMode mode = pkgtrust::EMode::Off;
    std::unique_ptr<pkgtrust::IManifestVerifier> verifier;
    bool manifestRead = false;
    // Why nothing can be verified when the manifest was not read.
    std::string manifestProblem;
    std::map<std::string, std::string> refusals;
    // The last small file of each ID checked, and its answer: package.xml is
    // read a dozen times in a run, and the same bytes need no second check.
    std::map<std::string, std::pair<std::string, std::string>> checked;
    std::set<std::pair<std::string, std::string>> reported;
};

// Files up to this size are remembered with their answer.
constexpr size_t kMaxRememberedBytes = size_t(1) << 20;

const std::string* KnownVerdict(const State& state, const std::string& id, const void* data,
                                size_t size)
{
    const auto it = state.checked.find(id);
    if (it == state.checked.end() || it->second.first.size() != size ||
        (size != 0 && std::memcmp(it->second.first.data(), data, size) != 0)) {
        return nullptr;
    }
    return &it->second.second;
}

void Remember(State& state, const std::string& id, const void* data, size_t size,
              const std::string& why)
{
    if (size <= kMaxRememberedBytes && state.mode != pkgtrust::EMode::Off) {
        state.checked[id] = std::make_pair(std::string(static_cast<const char*>(data), size), why);
    }
}

State& TheState()
{
    static State state;
    return state;
}

// Adds every certificate of the trust folder to the verifier. False, and
// why, when the folder or one of its entries may not be trusted or is no
// certificate: a trust folder that cannot be read whole must not pass for
// one with fewer signers, nor for none.
bool ReadTrustFolder(const std::string& folderPath, pkgtrust::IManifestVerifier& verifier,
                     size_t& certificates, std::string& why)
{
    certificates = 0;
    const std::string folder = pkgfiles::WithoutTrailingSlash(folderPath);
    const std::string parent = pkgfiles::FolderOf(folder);
    struct stat info;
    if (lstat(parent.c_str(), &info) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        why = "its folder " + parent + " cannot be examined";
        return false;
    }
    // Whoever may change the parent may take the trust folder away or put
    // another in its place.
    std::string problem = pkgfiles::WhyUntrusted(info);
    if (problem.empty() && !S_ISDIR(info.st_mode)) {
        problem = "is not a folder";
    }
    if (!problem.empty()) {
        why = "its folder " + parent + " " + problem;
        return false;
    }
    FdHolder dirFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dirFd.get() < 0) {
        if (errno == ENOENT) {
            return true;
        }
        why = errno == ELOOP || errno == ENOTDIR ? "it is a symbolic link or not a folder"
                                                 : "it cannot be opened";
        return false;
    }
    if (fstat(dirFd.get(), &info) != 0) {
        why = "it cannot be examined";
        return false;
    }
    problem = pkgfiles::WhyUntrusted(info);
    if (!problem.empty()) {
        why = "it " + problem;
        return false;
    }
    std::unique_ptr<DIR, DirCloser> listing(fdopendir(dup(dirFd.get())));
    if (!listing) {
        why = "it cannot be listed";
        return false;
    }
    std::vector<std::string> names;
    errno = 0;
    while (const struct dirent* entry = readdir(listing.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    if (errno != 0) {
        why = "it cannot be listed";
        return false;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string shown = "certificate " + folder + "/" + CStringUtils::escapeControl(name);
        FdHolder fd(
            openat(dirFd.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd.get() < 0) {
            why = shown + (errno == ELOOP ? " is a symbolic link" : " cannot be opened");
            return false;
        }
        if (fstat(fd.get(), &info) != 0) {
            why = shown + " cannot be examined";
            return false;
        }
        problem = pkgfiles::WhyUntrusted(info);
        if (!problem.empty()) {
            why = shown + " " + problem;
            return false;
        }
        std::string pem;
        std::string readWhy;
        if (!pkgfiles::ReadDescriptor(fd.get(), kMaxCertificateBytes, pem, readWhy)) {
            why = shown + ": " + readWhy;
            return false;
        }
        std::string pemWhy;
        if (!verifier.AddTrustAnchor(pem, pemWhy)) {
            why = shown + " is not a PEM certificate (" + CStringUtils::escapeControl(pemWhy) + ")";
            return false;
        }
        ++certificates;
    }
    return true;
}

void ReadManifestFile(State& state)
{
    const std::string path = pkgfiles::Directory() + kManifestName;
    std::string content;
    std::string why;
    if (!pkgfiles::ReadTrusted(path, content, why, kMaxManifestBytes)) {
        if (why == pkgfiles::kWhyMissing) {
            return;
        }
        state.manifestProblem = std::string(kManifestName) + " unreadable: " + why;
        return;
    }
    if (!state.verifier->ReadManifest(content, why)) {
        state.manifestProblem =
            std::string(kManifestName) + " unreadable: " + CStringUtils::escapeControl(why);
        return;
    }
    state.manifestRead = true;
}

std::string Reason(const pkgtrust::SVerdict& verdict)
{
    const std::string detail = CStringUtils::escapeControl(verdict.detail);
    const std::string inParentheses = detail.empty() ? std::string() : " (" + detail + ")";
    switch (verdict.verdict) {
    case pkgtrust::EVerdict::Verified:
        return std::string();
    case pkgtrust::EVerdict::NotListed:
        return std::string("item missing from ") + kManifestName;
    case pkgtrust::EVerdict::NoChecksum:
        return std::string("no checksum for it in ") + kManifestName;
    case pkgtrust::EVerdict::ChecksumMismatch:
        return std::string("checksum mismatch against ") + kManifestName;
    case pkgtrust::EVerdict::NoSignature:
        return std::string("no signature in ") + kManifestName;
    case pkgtrust::EVerdict::SignerNotTrusted:
        return "signer not trusted" + inParentheses;
    case pkgtrust::EVerdict::SignerExpired:
        return "signer's certificate expired or not yet valid" + inParentheses;
    }
    return "unknown verdict";
}

} // namespace

namespace pkgtrust
{

SSeams SetSeams(SSeams seams)
{
    State& state = TheState();
    SSeams previous = std::move(state.seams);
    state = State();
    state.seams = std::move(seams);
    return previous;
}

void SetVerifierFactory(VerifierFactory factory)
{
    SSeams seams = TheState().seams;
    seams.makeVerifier = std::move(factory);
    SetSeams(std::move(seams));
}

bool Prepare(std::string& why)
{
    State& state = TheState();
    if (!state.prepared) {
        state.prepared = true;
        state.verifier = state.seams.makeVerifier ? state.seams.makeVerifier() : nullptr;
        if (!state.verifier) {
            state.verifier.reset(new NoManifestVerifier());
        }
        size_t certificates = 0;
        std::string folderWhy;
        if (!ReadTrustFolder(state.seams.trustFolder, *state.verifier, certificates, folderWhy)) {
            state.runRefusal = "trust folder " +
                               pkgfiles::WithoutTrailingSlash(state.seams.trustFolder) + ": " +
                               folderWhy;
            Log(__LINE__, "Refusing the run: " + state.runRefusal);
        } else {
            ReadManifestFile(state);
            const bool manifestThere = state.manifestRead || !state.manifestProblem.empty();
            if (certificates > 0) {
                state.mode = EMode::Signatures;
                Log(__LINE__, "Package files need signatures: " + std::to_string(certificates) +
                                  " trusted certificate(s) in " + state.seams.trustFolder);
            } else if (manifestThere) {
                state.mode = EMode::Checksums;
                Log(__LINE__,
                    std::string("Package files need their checksums in ") + kManifestName);
            }
            if (state.mode == EMode::Signatures && !manifestThere) {
                state.manifestProblem =
                    std::string("no signature: the package has no ") + kManifestName;
            }
            if (!state.manifestProblem.empty()) {
                Log(__LINE__, state.manifestProblem);
            }
        }
    }
    why = state.runRefusal;
    return why.empty();
}

EMode Mode()
{
    std::string ignored;
    Prepare(ignored);
    return TheState().mode;
}

std::string Check(const std::string& id, const void* data, size_t size)
{
    State& state = TheState();
    std::string why;
    if (!Prepare(why)) {
        why = "the run is refused: " + why;
    } else if (state.mode == EMode::Off) {
        return std::string();
    } else if (!state.manifestRead) {
        why = state.manifestProblem;
    } else if (const std::string* known = KnownVerdict(state, id, data, size)) {
        why = *known;
    } else {
        const SVerdict verdict =
            state.verifier->Verify(id, data, size, state.mode == EMode::Signatures);
        why = Reason(verdict);
        if (why.empty()) {
            Log(__LINE__, std::string(kManifestName) + ": " + id + " verified" +
                              (verdict.detail.empty()
                                   ? std::string()
                                   : " (" + CStringUtils::escapeControl(verdict.detail) + ")"));
        }
    }
    if (!why.empty()) {
        state.refusals[id] = why;
    }
    Remember(state, id, data, size, why);
    return why;
}

std::string CheckDescriptor(const std::string& id, int fd, std::string* content, size_t maxBytes)
{
    std::string bytes;
    std::string why;
    if (Mode() == EMode::Off && content == nullptr) {
        return std::string();
    }
    if (!pkgfiles::ReadDescriptor(fd, maxBytes, bytes, why)) {
        why = "the checked bytes cannot be read: " + why;
        TheState().refusals[id] = why;
        return why;
    }
    why = Check(id, bytes.data(), bytes.size());
    if (content != nullptr) {
        *content = std::move(bytes);
    }
    return why;
}

std::string ItemId(const std::string& path)
{
    if (path.rfind("./", 0) == 0) {
        return path.substr(2);
    }
    const std::string folder = pkgfiles::Directory();
    if (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0) {
        return path.substr(folder.size());
    }
    return path;
}

std::string RefusalOf(const std::string& id)
{
    const State& state = TheState();
    const auto it = state.refusals.find(id);
    return it == state.refusals.end() ? std::string() : it->second;
}

void ReportRefusal(const std::string& path, const std::string& why)
{
    if (TheState().reported.insert(std::make_pair(path, why)).second) {
        pkgfiles::ReportRefusal(path, why);
    }
}

} // namespace pkgtrust
