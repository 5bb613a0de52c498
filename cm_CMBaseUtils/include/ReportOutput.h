#pragma once

#include <sys/stat.h>

#include <memory>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "ChangeJournal.h"

// A report that did not reach its reader whole. The writers throw it after
// the attempt, so the run ends with a failure status instead of leaving a
// cut report behind a success.
class CReportWriteError : public std::runtime_error
{
public:
    explicit CReportWriteError(const std::string& what) : std::runtime_error(what) {}
};

// The file a report goes to. The report is often asked for in a folder other
// users can write to, so the name is never followed: a symbolic link there
// counts as a file that cannot be opened. A regular file (or a new one) is
// written under a fresh name in the same folder and renamed over the target
// when complete, so a reader sees the old report or the whole new one, never
// half of one, and a hard link planted at the name is replaced rather than
// written through. Other existing targets (a character device such as
// /dev/null, a pipe) cannot be renamed over and are written in place, once
// opened without waiting: a FIFO nobody reads, and one of another user's,
// count as targets that cannot be opened.
//
// The temporary file is noted in the crash journal before it is made, so the
// run after one killed while writing removes it.
class CReportFile
{
public:
    explicit CReportFile(
        std::shared_ptr<IChangeJournal> journal = std::make_shared<RealChangeJournal>());
    ~CReportFile();
    CReportFile(const CReportFile&) = delete;
    CReportFile& operator=(const CReportFile&) = delete;

    // False when there is no target to write to; the caller then uses
    // standard output.
    bool open(const std::string& path);
    bool isOpen() const { return m_fd >= 0; }
    // Every byte of `text`; false with the reason in `error`.
    bool write(const std::string& text, std::string& error);
    // Puts the written report in place under its name and closes the file;
    // false with the reason in `error` (the old report, if any, then stays).
    bool commit(std::string& error);

private:
    void discard();
    bool openInPlace(const struct stat& existing);

    int m_fd = -1;
    std::string m_path;
    std::string m_tempPath; // empty when the target is written in place
    std::string m_notedPath; // the temporary file as the journal names it
    std::shared_ptr<IChangeJournal> m_journal;
};

// Hands a finished report to its reader: the report file when the writer
// managed to open one, standard output otherwise. The collected text is taken
// out of `document` first, so the buffer is empty for the next report even
// when writing fails. Returns false, with the reason in `error`, when the
// target did not take every byte; whatever the target stream throws reaches
// the caller, which logs it under its own name.
bool EmitReport(std::ostringstream& document, CReportFile& file, std::ostream& standardOutput,
                std::string& error);
