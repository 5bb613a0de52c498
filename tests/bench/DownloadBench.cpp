// CPU cost of downloading a 16 MiB image into a switch through the simulated
// storage library, next to the least any download must do: read the file and
// copy it once. The "s_per_MiB" counter is CPU seconds per MiB.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "LUMOSwitchMgmt.h"

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
        std::ofstream(m_dir + "/image.bin", std::ios::binary) << image;
        if (chdir(m_dir.c_str()) != 0) {
            std::abort();
        }
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
    std::string image() const { return m_dir + "/image.bin"; }

private:
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

// Argument: the simulated switch; 8 keeps the image it receives in a file,
// 9 only checks and traces each chunk.
void BM_DownloadThroughSimulator(benchmark::State& state)
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

BENCHMARK(BM_ReadFileAndCopyOnce)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DownloadThroughSimulator)->Arg(8)->Arg(9)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
