#include "ChangeJournal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Logger.h"
#include "PackageFiles.h"
#include "Sha256.h"
#include "StringUtils.h"
#include "VEXIO.h"

namespace
{

const char kSrc[] = "cm_CMBaseUtils/src/ChangeJournal";
const char kJournalName[] = "journal";
const char kNewName[] = "journal.new";
const char kDamagedName[] = "journal.damaged";
const char kMagic[] = "lumoswitch-journal";
const char kVersion[] = "1";
const size_t kCheckDigits = 16;
// A journal holds a few dozen short records; anything far larger is not one.
const off_t kMaxJournalBytes = 1 << 20;
const size_t kMaxLineBytes = 8192;

void Log(unsigned line, const std::string& text)
{
    CLogger::GetInstance()->log(kSrc, line, text);
}

bool Unescape(const std::string& word, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < word.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(word[i]);
        if (c <= ' ' || c > '~') {
            return false;
        }
        if (c != '%') {
            out += static_cast<char>(c);
            continue;
        }
        if (i + 2 >= word.size()) {
            return false;
        }
        const int high = CStringUtils::HexDigit(word[i + 1]);
        const int low = CStringUtils::HexDigit(word[i + 2]);
        if (high < 0 || low < 0) {
            return false;
        }
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return !word.empty();
}

std::string Body(const JournalRecord& record)
{
    std::string body = CStringUtils::PercentEscaped(record.kind);
    for (const std::string& field : record.fields) {
        body += ' ';
        body += CStringUtils::PercentEscaped(field);
    }
    return body;
}

std::string Check(const std::string& body)
{
    return Sha256Hex(body).substr(0, kCheckDigits);
}

// The record a line holds; false when the line fails its check.
bool DecodeLine(const std::string& line, JournalRecord& record)
{
    if (line.size() < kCheckDigits + 2 || line.size() > kMaxLineBytes ||
        line[kCheckDigits] != ' ') {
        return false;
    }
    const std::string body = line.substr(kCheckDigits + 1);
    if (line.compare(0, kCheckDigits, Check(body)) != 0) {
        return false;
    }
    record = JournalRecord();
    size_t start = 0;
    bool first = true;
    while (start <= body.size()) {
        size_t end = body.find(' ', start);
        if (end == std::string::npos) {
            end = body.size();
        }
        std::string word;
        if (!Unescape(body.substr(start, end - start), word)) {
            return false;
        }
        if (first) {
            record.kind = word;
            first = false;
        } else {
            record.fields.push_back(word);
        }
        start = end + 1;
    }
    return true;
}

const JournalRecord& Header()
{
    static const JournalRecord header = {kMagic, {kVersion}};
    return header;
}

std::string Reason(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const std::string& text)
{
    if (VEXWriteAll(fd, text.data(), text.size()) == text.size()) {
        return true;
    }
    if (errno == 0) {
        errno = ENOSPC;
    }
    return false;
}

} // namespace

std::string SessionHandleText(uint16_t handle)
{
    char text[8];
    std::snprintf(text, sizeof(text), "0x%04x", handle);
    return text;
}

// ------------------------------------------------------------------ records

namespace journalrecord
{

JournalRecord Run(pid_t pid, time_t started)
{
    return {"run", {std::to_string(pid), std::to_string(static_cast<long long>(started))}};
}
JournalRecord RuleFile(const std::string& path, const std::string& content)
{
    return {"rule", {path, Sha256Hex(content)}};
}
JournalRecord RuleFileGone(const std::string& path)
{
    return {"rule-gone", {path}};
}
JournalRecord Module(const std::string& name)
{
    return {"module", {name}};
}
JournalRecord ModuleGone(const std::string& name)
{
    return {"module-gone", {name}};
}
JournalRecord DaemonStopped(const std::string& name)
{
    return {"daemon-stopped", {name}};
}
JournalRecord DaemonRunning(const std::string& name)
{
    return {"daemon-running", {name}};
}
JournalRecord Session(uint16_t handle)
{
    return {"session", {SessionHandleText(handle)}};
}
JournalRecord SessionGone(uint16_t handle)
{
    return {"session-gone", {SessionHandleText(handle)}};
}
JournalRecord LeftSession(uint16_t handle, pid_t pid, time_t started)
{
    return {"left-session",
            {SessionHandleText(handle), std::to_string(pid),
             std::to_string(static_cast<long long>(started))}};
}
JournalRecord LeftSessionGone(uint16_t handle)
{
    return {"left-session-gone", {SessionHandleText(handle)}};
}
JournalRecord Flag(uint8_t value)
{
    return {"flag", {std::to_string(value)}};
}
JournalRecord FlagSet(uint8_t value)
{
    return {"flag-set", {std::to_string(value)}};
}
JournalRecord ReportFile(const std::string& path)
{
    return {"report", {path}};
}
JournalRecord ReportFileGone(const std::string& path)
{
    return {"report-gone", {path}};
}

} // namespace journalrecord

std::string EncodeJournalRecord(const JournalRecord& record)
{
    const std::string body = Body(record);
    return Check(body) + " " + body + "\n";
}

std::string DescribeJournalRecord(const JournalRecord& record)
{
    return Body(record);
}

JournalText ParseJournalText(const std::string& bytes)
{
    JournalText text;
    // Made, and killed before its first line was written.
    text.isJournal = bytes.empty();
    const std::string header = EncodeJournalRecord(Header());
    size_t start = 0;
    size_t lineNumber = 0;
    while (start < bytes.size()) {
        ++lineNumber;
        const size_t newline = bytes.find('\n', start);
        const bool last = newline == std::string::npos || newline + 1 == bytes.size();
        const std::string line =
            bytes.substr(start, newline == std::string::npos ? std::string::npos : newline - start);
        JournalRecord record;
        const bool good = newline != std::string::npos && DecodeLine(line, record);
        if (lineNumber == 1) {
            if (good && record == Header()) {
                text.isJournal = true;
            } else if (newline == std::string::npos &&
                       header.compare(0, bytes.size(), bytes) == 0) {
                // The header itself was being written: a journal with nothing in it.
                text.isJournal = true;
                text.tornTail = true;
            }
            if (!text.isJournal || !good) {
                return text;
            }
        } else if (!good) {
            if (last) {
                text.tornTail = true;
            } else {
                text.damagedAtLine = lineNumber;
            }
            return text;
        } else {
            text.records.push_back(record);
        }
        if (newline == std::string::npos) {
            break;
        }
        start = newline + 1;
    }
    return text;
}

// ---------------------------------------------------------- the seam's real

void RealChangeJournal::Note(const JournalRecord& record)
{
    CChangeJournal::Process().Note(record);
}

std::vector<LeftSession> RealChangeJournal::LeftSessions()
{
    return CChangeJournal::Process().LeftSessions();
}

// ----------------------------------------------------------- journal file

CChangeJournal::CChangeJournal(std::string folder)
    : m_folder(std::move(folder)), m_path(m_folder + "/" + kJournalName)
{
}

CChangeJournal::~CChangeJournal()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

CChangeJournal& CChangeJournal::Process()
{
    // Never destroyed: the records of a run ending through exit() are
    // written by the exit handler, after static objects may be gone.
    static CChangeJournal* journal = new CChangeJournal();
    return *journal;
}

CChangeJournal::ELeft CChangeJournal::ReadLeftBehind(JournalText& text, std::string& why)
{
    text = JournalText();
    if (!pkgfiles::MakeRootOnlyFolder(m_folder, why)) {
        return ELeft::UntrustedFolder;
    }
    struct stat named;
    if (::lstat(m_path.c_str(), &named) != 0) {
        if (errno == ENOENT) {
            return ELeft::None;
        }
        why = Reason("cannot examine " + m_path);
        return ELeft::Unreadable;
    }
    const std::string untrusted = pkgfiles::WhyUntrusted(named);
    if (!untrusted.empty()) {
        why = m_path + " " + untrusted;
        return ELeft::Untrusted;
    }
    if (!S_ISREG(named.st_mode)) {
        why = m_path + " is not a plain file";
        return ELeft::Untrusted;
    }
    if (named.st_nlink != 1) {
        why = m_path + " has other names (hard links)";
        return ELeft::Untrusted;
    }
    if (named.st_size > kMaxJournalBytes) {
        why = m_path + " is too large to be a journal";
        return ELeft::Unreadable;
    }
    const int fd = ::open(m_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = Reason("cannot open " + m_path);
        return ELeft::Unreadable;
    }
    struct stat opened;
    std::string bytes;
    bool ok =
        ::fstat(fd, &opened) == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
    if (!ok) {
        why = m_path + " was replaced while it was read";
    }
    char buffer[8192];
    while (ok && static_cast<off_t>(bytes.size()) <= kMaxJournalBytes) {
        const ssize_t n = VEXReadOnce(fd, buffer, sizeof(buffer));
        if (n < 0) {
            why = Reason("cannot read " + m_path);
            ok = false;
        }
        if (n <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    if (!ok) {
        return ELeft::Unreadable;
    }
    if (static_cast<off_t>(bytes.size()) > kMaxJournalBytes) {
        why = m_path + " is too large to be a journal";
        return ELeft::Unreadable;
    }
    text = ParseJournalText(bytes);
    if (!text.isJournal) {
        why = m_path + " is not a journal of this tool";
        return ELeft::Unreadable;
    }
    return ELeft::Read;
}

void CChangeJournal::syncFolder()
{
    const int fd = ::open(m_folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool CChangeJournal::replaceWith(const std::string& content, std::string& why)
{
    const std::string fresh = m_folder + "/" + kNewName;
    // Our own leftover from a run killed while replacing: the folder is root's.
    ::unlink(fresh.c_str());
    const int fd =
        ::open(fresh.c_str(), O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = Reason("cannot create " + fresh);
        return false;
    }
    if (!WriteAll(fd, content) || ::fsync(fd) != 0 ||
        ::rename(fresh.c_str(), m_path.c_str()) != 0) {
        why = Reason("cannot write " + m_path);
        ::close(fd);
        ::unlink(fresh.c_str());
        return false;
    }
    syncFolder();
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    m_fd = fd;
    m_length = static_cast<off_t>(content.size());
    return true;
}

bool CChangeJournal::Begin(const std::vector<LeftSession>& carried, bool keepDamaged,
                           std::string& why)
{
    m_pid = ::getpid();
    m_started = ::time(nullptr);
    m_carried = carried;
    m_failed = false;
    if (!pkgfiles::MakeRootOnlyFolder(m_folder, why)) {
        return false;
    }
    struct stat named;
    const bool left = ::lstat(m_path.c_str(), &named) == 0;
    if (left && (!S_ISREG(named.st_mode) || !pkgfiles::WhyUntrusted(named).empty())) {
        why = m_path + " is not root's own journal";
        return false;
    }
    if (left && keepDamaged) {
        const std::string damaged = m_folder + "/" + kDamagedName;
        if (::rename(m_path.c_str(), damaged.c_str()) != 0) {
            why = Reason("cannot set " + m_path + " aside");
            return false;
        }
        syncFolder();
    }
    m_active = true;
    if (!m_carried.empty()) {
        std::string content = EncodeJournalRecord(Header()) +
                              EncodeJournalRecord(journalrecord::Run(m_pid, m_started));
        for (const LeftSession& session : m_carried) {
            content += EncodeJournalRecord(
                journalrecord::LeftSession(session.handle, session.pid, session.started));
        }
        if (!replaceWith(content, why)) {
            m_active = false;
            return false;
        }
        return true;
    }
    if (left && !keepDamaged) {
        if (::unlink(m_path.c_str()) != 0) {
            why = Reason("cannot remove " + m_path);
            m_active = false;
            return false;
        }
        syncFolder();
    }
    return true;
}

bool CChangeJournal::createFile(std::string& why)
{
    if (!pkgfiles::MakeRootOnlyFolder(m_folder, why)) {
        return false;
    }
    const int fd = ::open(m_path.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        why = Reason("cannot create " + m_path);
        return false;
    }
    const std::string start =
        EncodeJournalRecord(Header()) + EncodeJournalRecord(journalrecord::Run(m_pid, m_started));
    if (!WriteAll(fd, start) || ::fsync(fd) != 0) {
        why = Reason("cannot write " + m_path);
        ::close(fd);
        ::unlink(m_path.c_str());
        return false;
    }
    syncFolder();
    m_fd = fd;
    m_length = static_cast<off_t>(start.size());
    return true;
}

bool CChangeJournal::appendLine(const std::string& line)
{
    if (WriteAll(m_fd, line) && ::fdatasync(m_fd) == 0) {
        m_length += static_cast<off_t>(line.size());
        return true;
    }
    // Half a line would read as damage under the records that follow it.
    const int cause = errno;
    if (::ftruncate(m_fd, m_length) != 0) {
        // The torn line stays the last one: read as a torn record.
    }
    errno = cause;
    return false;
}

void CChangeJournal::stop(const std::string& why)
{
    m_failed = true;
    Log(__LINE__, "journal: stopped: " + why);
    if (m_warn != nullptr) {
        m_warn("lumoswitch: cannot keep the crash journal (" + why +
               "); a run killed from now on leaves changes the next run cannot undo");
    }
}

void CChangeJournal::Note(const JournalRecord& record)
{
    if (!m_active || m_failed) {
        return;
    }
    std::string why;
    if (m_fd < 0 && !createFile(why)) {
        stop(why);
        return;
    }
    if (!appendLine(EncodeJournalRecord(record))) {
        stop(Reason("cannot write " + m_path));
        return;
    }
    if (record.kind == "left-session-gone") {
        for (auto it = m_carried.begin(); it != m_carried.end(); ++it) {
            if (!record.fields.empty() && record.fields[0] == SessionHandleText(it->handle)) {
                m_carried.erase(it);
                break;
            }
        }
    }
    Log(__LINE__, "journal: noted " + DescribeJournalRecord(record));
}

std::vector<LeftSession> CChangeJournal::LeftSessions() const
{
    return m_active ? m_carried : std::vector<LeftSession>();
}

void CChangeJournal::Finish()
{
    if (!m_active) {
        return;
    }
    m_active = false;
    if (!m_carried.empty()) {
        // Sessions earlier runs left open stay listed, under those runs. Should
        // that fail, the journal stays as it is: it lists them too.
        std::string content = EncodeJournalRecord(Header());
        for (const LeftSession& session : m_carried) {
            content += EncodeJournalRecord(journalrecord::Run(session.pid, session.started));
            content += EncodeJournalRecord(journalrecord::Session(session.handle));
        }
        std::string why;
        if (replaceWith(content, why)) {
            Log(__LINE__, "journal: kept the sessions interrupted runs left open");
        } else {
            Log(__LINE__, "journal: " + why);
        }
    } else if (m_fd >= 0 && ::unlink(m_path.c_str()) == 0) {
        syncFolder();
        Log(__LINE__, "journal: removed");
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}
