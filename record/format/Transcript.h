#pragma once

// Transcript of one run at the two hardware boundaries: JSON Lines, one flat
// object per line (string and integer values only), every byte as lowercase
// hex. Each line ends with a checksum that chains it to the line before, so a
// line that was cut, dropped, moved or edited breaks the chain right there.
// The layout is described in the README ("Recording a run").

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace lumorecord
{

constexpr int kFormatVersion = 1;
constexpr const char* kFormatName = "lumoswitch-transcript";
// Chain value before the first line.
constexpr uint32_t kChainStart = 0;

std::string Hex(const uint8_t* bytes, size_t n);
inline std::string Hex(const std::vector<uint8_t>& bytes)
{
    return Hex(bytes.data(), bytes.size());
}
// False on odd length or a character that is not a hex digit.
bool FromHex(const std::string& text, std::vector<uint8_t>& out);

uint32_t Crc32(uint32_t crc, const void* data, size_t n);
std::string Hex8(uint32_t v);

// One line being written: fields in the order they are added.
class Line
{
public:
    Line& add(const std::string& key, const std::string& value);
    Line& add(const std::string& key, int64_t value);
    Line& addHex(const std::string& key, const uint8_t* bytes, size_t n)
    {
        return add(key, Hex(bytes, n));
    }
    // The complete line, chained to the line before it, with its newline.
    std::string seal(uint32_t previous, uint32_t* crcOut = nullptr) const;

private:
    std::string m_body; // '{' and the fields so far
};

struct Value {
    bool isNumber = false;
    int64_t number = 0;
    std::string text;
};

// One parsed line.
class Entry
{
public:
    size_t line = 0; // 1-based line number in the file
    std::vector<std::pair<std::string, Value>> fields;

    bool has(const std::string& key) const { return find(key) != nullptr; }
    const Value* find(const std::string& key) const;
    // Empty / 0 / false when missing or of the other kind.
    std::string str(const std::string& key) const;
    // str() as it may be shown to a person: a transcript may come from
    // anywhere, so every byte outside printable ASCII is written \xHH.
    std::string shown(const std::string& key) const;
    int64_t num(const std::string& key, int64_t fallback = 0) const;
    bool bytes(const std::string& key, std::vector<uint8_t>& out) const;
    // The line without its timing, run and checksum fields, for comparing two
    // runs of the same story.
    std::string normalised() const;
};

// Parses one JSON object of the flat kind written here; error names the column.
bool ParseObject(const std::string& text, Entry& entry, std::string& error);

struct Transcript {
    int version = 0;
    std::string run;
    std::vector<Entry> entries; // header excluded, file order
};

// Reads and checks a whole transcript: header, every line's syntax and the
// checksum chain. On failure error reads "line N: ..." for the first bad line.
bool LoadTranscript(const std::string& path, Transcript& out, std::string& error);
bool ParseTranscript(const std::string& text, Transcript& out, std::string& error);

// Chain value of a sealed line (its trailing checksum); false when the line
// does not end the way a sealed line does.
bool TrailingCrc(const std::string& sealedTail, uint32_t& crc);

} // namespace lumorecord
