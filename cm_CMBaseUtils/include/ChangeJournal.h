#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "StateFolder.h"

// The crash journal. A run killed by SIGKILL, the OOM killer or a power cut
// cannot tear down, so before each change that outlives the process (a rule
// file created, a kernel module loaded, a repository session opened, the
// power-cycle flag set, a report's temporary file created, a system daemon
// stopped) the run appends a record naming it and syncs it; after undoing
// the change itself it appends one saying so. The next run, once it holds
// the run lock, finds the journal and undoes what is still listed
// (JournalRecovery.h).
//
// The file is text, one record a line: 16 hexadecimal digits (the first
// eight bytes of the SHA-256 of the rest of the line), a blank, then the
// record's words separated by blanks, each word percent-escaped (every byte
// outside '!'..'~', and '%', as %XX). A line cut by a crash, or changed,
// fails its check. The first record is "lumoswitch-journal 1".

// One record: its kind and its words.
struct JournalRecord {
    std::string kind;
    std::vector<std::string> fields;

    bool operator==(const JournalRecord& other) const
    {
        return kind == other.kind && fields == other.fields;
    }
};

// The records, one builder each; `...Gone` says the change is undone (or
// never happened) and needs nothing more.
namespace journalrecord
{
JournalRecord Run(pid_t pid, time_t started);
JournalRecord RuleFile(const std::string& path, const std::string& content);
JournalRecord RuleFileGone(const std::string& path);
JournalRecord Module(const std::string& name);
JournalRecord ModuleGone(const std::string& name);
// A system daemon stopped while the run needs it stopped / running again.
JournalRecord DaemonStopped(const std::string& name);
JournalRecord DaemonRunning(const std::string& name);
JournalRecord Session(uint16_t handle);
JournalRecord SessionGone(uint16_t handle);
// A session an interrupted run left open, carried on until it is ended.
JournalRecord LeftSession(uint16_t handle, pid_t pid, time_t started);
JournalRecord LeftSessionGone(uint16_t handle);
JournalRecord Flag(uint8_t value);
JournalRecord FlagSet(uint8_t value);
JournalRecord ReportFile(const std::string& path);
JournalRecord ReportFileGone(const std::string& path);
} // namespace journalrecord

// A repository session's handle as the journal and the recovery's messages
// write it: "0x1234".
std::string SessionHandleText(uint16_t handle);

// One line of the file, newline included.
std::string EncodeJournalRecord(const JournalRecord& record);
// The record in words, for log lines: "rule /etc/udev/rules.d/x.rules 9f86...".
std::string DescribeJournalRecord(const JournalRecord& record);

// What a journal's bytes hold. Reading stops at the first line that does not
// pass its check: the last line so cut is what a crash during an append
// leaves (`tornTail`); any other is damage (`damagedAtLine`, 1-based), and
// what follows it is not trusted either.
struct JournalText {
    bool isJournal = false;             // the first line is this tool's, version 1
    std::vector<JournalRecord> records; // after the first line
    bool tornTail = false;
    size_t damagedAtLine = 0;
};
JournalText ParseJournalText(const std::string& bytes);

// A repository session an interrupted run left open: its handle and the run.
struct LeftSession {
    uint16_t handle = 0;
    pid_t pid = 0;
    time_t started = 0;
};

// What the layers that make lasting changes tell the journal. Every call is
// best effort: a journal that cannot be written never stops the change (the
// run goes on as before, and was told once why it keeps no journal).
class IChangeJournal
{
public:
    virtual ~IChangeJournal() = default;
    // Appends and syncs one record.
    virtual void Note(const JournalRecord& record) = 0;
    // Sessions interrupted runs left open, to be ended at the controller.
    virtual std::vector<LeftSession> LeftSessions() = 0;
};

// The process's journal (CChangeJournal::Process()).
class RealChangeJournal : public IChangeJournal
{
public:
    void Note(const JournalRecord& record) override;
    std::vector<LeftSession> LeftSessions() override;
};

// The journal file of one run, in the state folder.
class CChangeJournal
{
public:
    enum class ELeft {
        None,            // no journal left behind
        Read,            // records read (see JournalText for torn or damaged lines)
        UntrustedFolder, // the folder may have been changed by others: not read, not used
        Untrusted,       // the file may have been changed by others: not read, left as it is
        Unreadable,      // not this tool's journal, too large, or an error reading it
    };

    explicit CChangeJournal(std::string folder = kStateFolder);
    ~CChangeJournal();
    CChangeJournal(const CChangeJournal&) = delete;
    CChangeJournal& operator=(const CChangeJournal&) = delete;

    // The one journal of this process, inactive until Begin.
    static CChangeJournal& Process();

    const std::string& path() const { return m_path; }

    // Reads the journal a dead run left; `why` says what was wrong when the
    // result is Untrusted or Unreadable.
    ELeft ReadLeftBehind(JournalText& text, std::string& why);

    // Starts this run's journal, after the recovery: the left journal is
    // replaced by one holding the sessions still to be ended, or removed when
    // there are none (this run's file is then made at its first record).
    // `keepDamaged` keeps an unreadable journal beside, as "journal.damaged",
    // instead of removing it. False, with `why`, when this run can keep no
    // journal (it then goes on without one).
    bool Begin(const std::vector<LeftSession>& carried, bool keepDamaged, std::string& why);

    void Note(const JournalRecord& record);
    std::vector<LeftSession> LeftSessions() const;

    // The run's teardown is done: the journal goes, but for the sessions
    // left by earlier runs that are still open, which are written back.
    void Finish();

    // Where a warning goes when the journal stops being written mid-run.
    void SetWarningSink(void (*sink)(const std::string& line)) { m_warn = sink; }

    bool active() const { return m_active; }

private:
    bool createFile(std::string& why);
    bool appendLine(const std::string& line);
    bool replaceWith(const std::string& content, std::string& why);
    void syncFolder();
    void stop(const std::string& why);

    std::string m_folder;
    std::string m_path;
    int m_fd = -1;
    bool m_active = false;
    bool m_failed = false;
    off_t m_length = 0;
    pid_t m_pid = 0;
    time_t m_started = 0;
    std::vector<LeftSession> m_carried;
    void (*m_warn)(const std::string& line) = nullptr;
};
