// CPU cost of downloading a 16 MiB image into a switch through the simulated
// storage library, next to the least any download must do: read the file and
// copy it once; and the same download with the image checked against a signed
// package.jcat (SHA-256 and PKCS#7 through libjcat, a signer made by openssl
// when the benchmark starts), and that check alone. The "s_per_MiB" counter
// is CPU seconds per MiB.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "ExecutableDirPlatform.h"
#include "JcatManifestVerifier.h"
#include "LUMOSwitchMgmt.h"
#include "PackageTrust.h"
#include "PlatformLayer.h"

namespace
{

constexpr size_t kImageSize = size_t(16) << 20;
constexpr double kImageMiB = double(kImageSize) / (1 << 20);

// A scratch package directory holding the simulated library, a one-switch
// topology and the image; the process works in it while the benchmarks run.
class Scratch
{
public:
    Scratch()
    {
        char pattern[] = "/tmp/lumo_bench_XXXXXX";
        m_dir = mkdtemp(pattern);
        char previous[PATH_MAX] = {0};
        m_previous = getcwd(previous, sizeof(previous)) ? previous : "/";
        std::filesystem::copy_file(LUMO_BENCH_SIM_LIBRARY, m_dir + "/libstorelibit.so");
        std::ofstream(m_dir + "/storelib_topology.conf")
            << "controller id=0x05000000\n"
               "device id=8 type=0x0d serial=\"KEPT\"\n"
               "device id=9 type=0x0d serial=\"NOTKEPT\" keep=0\n";
        std::string image(kImageSize, '\0');
        for (size_t i = 0; i < image.size(); ++i) {
            image[i] = static_cast<char>((i * 2654435761u) >> 24);
        }
        std::filesystem::create_directories(m_dir + "/payload");
        std::ofstream(m_dir + "/payload/image.bin", std::ios::binary) << image;
        if (chdir(m_dir.c_str()) != 0) {
            std::abort();
        }
        // The scratch folder is the package folder the image is read from.
        m_platform.reset(new ExecutableDirPlatform(m_dir));
        CPlatformLayer::SetPlatformSeams(m_platform.get());
        // The maker's signature over it, and a host that trusts the maker.
        std::filesystem::create_directories(m_dir + "/trust");
        const std::string sign =
            "openssl req -x509 -newkey rsa:3072 -nodes -days 30 -subj /CN=Bench "
            "-addext keyUsage=critical,digitalSignature -keyout signer.key -out trust/signer.pem "
            "&& for f in payload/image.bin libstorelibit.so; do "
            "jcat-tool self-sign package.jcat $f --kind sha256 && "
            "jcat-tool sign package.jcat $f trust/signer.pem signer.key || exit; done";
        m_signed = std::system(("{ " + sign + "; } >/dev/null 2>&1").c_str()) == 0;
        setenv("STORELIB_SIM_TOPOLOGY", (m_dir + "/storelib_topology.conf").c_str(), 1);
        // The simulator keeps what the switch received in memory-backed files,
        // so the figure is the download's, not a disk's.
        char shm[] = "/dev/shm/lumo_bench_XXXXXX";
        if (mkdtemp(shm) != nullptr) {
            m_outDir = shm;
            setenv("STORELIB_SIM_OUTDIR", m_outDir.c_str(), 1);
        }
    }
    ~Scratch()
    {
        if (chdir(m_previous.c_str()) != 0) {
            std::perror("chdir");
        }
        std::filesystem::remove_all(m_dir);
        if (!m_outDir.empty()) {
            std::filesystem::remove_all(m_outDir);
        }
    }
    std::string image() const { return m_dir + "/payload/image.bin"; }
    std::string trust() const { return m_dir + "/trust"; }
    std::string folder() const { return m_dir; }
    bool isSigned() const { return m_signed; }

private:
    std::unique_ptr<ExecutableDirPlatform> m_platform;
    bool m_signed = false;
    std::string m_dir;
    std::string m_outDir;
    std::string m_previous;
};

Scratch& Dir()
{
    static Scratch scratch;
    return scratch;
}

void BM_ReadFileAndCopyOnce(benchmark::State& state)
{
    const std::string path = Dir().image();
    std::vector<char> copy(kImageSize);
    for (auto _ : state) {
        std::ifstream in(path, std::ios::binary);
        std::vector<char> image(kImageSize);
        in.read(image.data(), std::streamsize(image.size()));
        std::memcpy(copy.data(), image.data(), image.size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.counters["s_per_MiB"] = benchmark::Counter(
        kImageMiB, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// The host trusts the maker and the package carries its signature, for the
// life of the object; without, nothing is checked.
class SignaturePolicy
{
public:
    explicit SignaturePolicy(bool on)
    {
        pkgtrust::SSeams seams;
        seams.trustFolder = on ? Dir().trust() : Dir().trust() + "/none";
        seams.makeVerifier = &MakeJcatManifestVerifier;
        m_previous = pkgtrust::SetSeams(seams);
        // The manifest is read once, when the policy is prepared: kept aside
        // meanwhile, the package is an unsigned one.
        const std::string manifest = Dir().folder() + "/package.jcat";
        if (!on) {
            std::rename(manifest.c_str(), (manifest + ".kept").c_str());
        }
        std::string why;
        m_ready = pkgtrust::Prepare(why) &&
                  pkgtrust::Mode() == (on ? pkgtrust::EMode::Signatures : pkgtrust::EMode::Off);
        if (!on) {
            std::rename((manifest + ".kept").c_str(), manifest.c_str());
        }
    }
    ~SignaturePolicy() { pkgtrust::SetSeams(m_previous); }
    bool ready() const { return m_ready; }

private:
    pkgtrust::SSeams m_previous;
    bool m_ready = false;
};

// Argument: the simulated switch; 8 keeps the image it receives in a file,
// 9 only checks and traces each chunk.
void Download(benchmark::State& state)
{
    const uint16_t deviceId = static_cast<uint16_t>(state.range(0));
    const std::string path = Dir().image();
    for (auto _ : state) {
        state.PauseTiming();
        // A fresh manager per image, as in the program; the library is loaded
        // and initialised outside the timed part.
        auto mgmt = std::make_unique<LUMOSwitchMgmt>("");
        _SL_CTRL_LIST_T list;
        if (!mgmt->getCtrlInventory(list)) {
            state.SkipWithError("simulated library did not initialise");
            break;
        }
        state.ResumeTiming();

        LUMOSwitchMgmt::ImageBuffer image;
        uint64_t length = 0;
        if (!mgmt->readImgBuffer(path, image, length) ||
            !mgmt->writeBuffer(list.getCtrlId(0), deviceId, length, image.get())) {
            state.SkipWithError("download failed");
            break;
        }

        // Releasing the image and unloading the library are not part of the
        // download either.
        state.PauseTiming();
        image.reset();
        mgmt.reset();
        state.ResumeTiming();
    }
    state.counters["s_per_MiB"] = benchmark::Counter(
        kImageMiB, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_DownloadThroughSimulator(benchmark::State& state)
{
    SignaturePolicy policy(false);
    if (!policy.ready()) {
        state.SkipWithError("a trust folder or manifest is in the way");
        return;
    }
    Download(state);
}

// The image checked in the buffer it is sent from, before the first chunk.
void BM_SignedDownloadThroughSimulator(benchmark::State& state)
{
    SignaturePolicy policy(true);
    if (!Dir().isSigned() || !policy.ready()) {
        state.SkipWithError("no signed package (openssl, jcat-tool)");
        return;
    }
    Download(state);
}

// The check alone: checksum and signature of the 16 MiB image in memory.
void BM_CheckSignedImage(benchmark::State& state)
{
    SignaturePolicy policy(true);
    std::ifstream in(Dir().image(), std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!Dir().isSigned() || !policy.ready() || image.size() != kImageSize) {
        state.SkipWithError("no signed package (openssl, jcat-tool)");
        return;
    }
    for (auto _ : state) {
        if (!pkgtrust::Check("payload/image.bin", image.data(), image.size()).empty()) {
            state.SkipWithError("the signed image did not verify");
            break;
        }
    }
    state.counters["s_per_MiB"] = benchmark::Counter(
        kImageMiB, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_ReadFileAndCopyOnce)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadThroughSimulator)->Arg(8)->Arg(9)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SignedDownloadThroughSimulator)->Arg(8)->Arg(9)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckSignedImage)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
