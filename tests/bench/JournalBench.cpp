// What the crash journal costs a run that is never interrupted: the records
// an update notes (three modules loaded and unloaded, two rule files made
// and removed, the session opened and ended, the flag asked for and set, the
// report's temporary file made and renamed), each appended and synced, the
// file made and removed with its folder synced. Wall-clock time, since the
// cost is the disk's: run it on the file system of /var/lib (the folder is
// LUMO_BENCH_STATE_DIR, default /var/tmp/lumo-bench-journal). The same
// writes without a sync are measured beside it.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ChangeJournal.h"

namespace
{

std::string StateDir()
{
    const char* dir = std::getenv("LUMO_BENCH_STATE_DIR");
    return dir != nullptr && *dir != '\0' ? dir : "/var/tmp/lumo-bench-journal";
}

const std::vector<JournalRecord>& UpdateRecords()
{
    static const std::vector<JournalRecord> records = {
        journalrecord::Module("ipmi_msghandler"),
        journalrecord::Module("ipmi_devintf"),
        journalrecord::Module("ipmi_si"),
        journalrecord::ModuleGone("ipmi_si"),
        journalrecord::ModuleGone("ipmi_devintf"),
        journalrecord::ModuleGone("ipmi_msghandler"),
        journalrecord::RuleFile("/etc/udev/rules.d/98-secupdusb.rules", "# a rule\n"),
        journalrecord::RuleFile("/etc/udev/rules.d/00-secupd-vantor.rules", "# a rule\n"),
        journalrecord::Session(0x1234),
        journalrecord::Flag(5),
        journalrecord::FlagSet(5),
        journalrecord::SessionGone(0x1234),
        journalrecord::RuleFileGone("/etc/udev/rules.d/98-secupdusb.rules"),
        journalrecord::RuleFileGone("/etc/udev/rules.d/00-secupd-vantor.rules"),
        journalrecord::ReportFile("/opt/lumoswitch/.update.xml.AbC123"),
        journalrecord::ReportFileGone("/opt/lumoswitch/.update.xml.AbC123"),
    };
    return records;
}

// One update's journal, as the program keeps it.
void BM_UpdateJournal(benchmark::State& state)
{
    const std::string dir = StateDir();
    std::filesystem::remove_all(dir);
    for (auto _ : state) {
        CChangeJournal journal(dir);
        std::string why;
        if (!journal.Begin({}, false, why)) {
            state.SkipWithError(why.c_str());
            break;
        }
        for (const JournalRecord& record : UpdateRecords()) {
            journal.Note(record);
        }
        journal.Finish();
    }
    state.counters["records"] = double(UpdateRecords().size());
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_UpdateJournal)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The same lines written and the file made and removed, never synced.
void BM_SameWritesUnsynced(benchmark::State& state)
{
    const std::string dir = StateDir();
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/journal";
    for (auto _ : state) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND, 0600);
        std::string line = EncodeJournalRecord({"lumoswitch-journal", {"1"}}) +
                           EncodeJournalRecord(journalrecord::Run(1, 1));
        benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
        for (const JournalRecord& record : UpdateRecords()) {
            line = EncodeJournalRecord(record);
            benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
        }
        ::close(fd);
        ::unlink(path.c_str());
    }
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_SameWritesUnsynced)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
