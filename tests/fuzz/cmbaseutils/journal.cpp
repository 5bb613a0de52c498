// Feeds arbitrary bytes to the crash journal's reader, as a damaged or
// planted journal would reach it, and checks what recovery relies on: the
// reader ends, every record it returns encodes back to a line of the input,
// in order, and those lines form an unbroken prefix of the input after the
// first line. Seed: journal_corpus/ (a journal a killed run left).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ChangeJournal.h"

namespace
{

void Check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const JournalText text = ParseJournalText(bytes);
    if (!text.isJournal) {
        Check(text.records.empty());
        return 0;
    }
    std::string expected = EncodeJournalRecord({"lumoswitch-journal", {"1"}});
    for (const JournalRecord& record : text.records) {
        expected += EncodeJournalRecord(record);
    }
    if (!text.records.empty()) {
        Check(bytes.compare(0, expected.size(), expected) == 0);
    }
    Check(text.damagedAtLine == 0 || !text.tornTail);
    return 0;
}
