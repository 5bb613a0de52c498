#include "JournalRecovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Logger.h"
#include "PlatformLayer.h"
#include "Sha256.h"

namespace
{

const char kSrc[] = "cm_CMBaseUtils/src/JournalRecovery";
// Rule files are a few lines; one much larger is not what a run wrote.
const off_t kMaxRuleFileBytes = 1 << 20;

void Log(unsigned line, const std::string& text)
{
    CLogger::GetInstance()->log(kSrc, line, "journal: " + text);
}

bool ParseNumber(const std::string& text, unsigned long long max, unsigned long long& value)
{
    if (text.empty() || text.size() > 20 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    errno = 0;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0 && value <= max;
}

bool ParseHandle(const std::string& text, uint16_t& handle)
{
    if (text.size() != 6 || text.compare(0, 2, "0x") != 0 ||
        !std::all_of(text.begin() + 2, text.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); })) {
        return false;
    }
    handle = static_cast<uint16_t>(std::strtoul(text.c_str() + 2, nullptr, 16));
    return true;
}

bool IsSha256(const std::string& text)
{
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// Names of modules and daemons: nothing the shell would read otherwise.
bool IsPlainName(const std::string& text)
{
    return !text.empty() && text.size() <= 64 && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    });
}

bool IsAbsolutePath(const std::string& text)
{
    return !text.empty() && text[0] == '/' && text.size() < 4096 &&
           text.find('\0') == std::string::npos;
}

// ".NAME.XXXXXX", as CReportFile names the file it writes a report into.
bool IsReportTemporaryName(const std::string& name)
{
    if (name.size() < 9 || name[0] != '.' || name[name.size() - 7] != '.') {
        return false;
    }
    return std::all_of(name.end() - 6, name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    });
}

std::string Join(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text;
}

// The folder opened from the root one name at a time, never through a
// symbolic link: another user who owns a folder on the way could otherwise
// swap it for a link to one of root's. -1 with errno on failure (ELOOP or
// ENOTDIR for a link).
int OpenFolderWithoutLinks(const std::string& folder)
{
    int fd = ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    size_t start = 1;
    while (fd >= 0 && start < folder.size()) {
        size_t end = folder.find('/', start);
        if (end == std::string::npos) {
            end = folder.size();
        }
        const std::string name = folder.substr(start, end - start);
        if (name == "..") {
            ::close(fd);
            errno = ELOOP;
            return -1;
        }
        if (!name.empty() && name != ".") {
            const int next =
                ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            const int cause = errno;
            ::close(fd);
            errno = cause;
            fd = next;
        }
        start = end + 1;
    }
    return fd;
}

void EraseFirst(std::vector<std::string>& items, const std::string& item)
{
    auto it = std::find(items.begin(), items.end(), item);
    if (it != items.end()) {
        items.erase(it);
    }
}

} // namespace

std::string JournalTime(time_t when)
{
    char text[32] = "?";
    struct tm local;
    if (localtime_r(&when, &local) != nullptr) {
        std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &local);
    }
    return text;
}

int RealJournalHost::RunShell(const std::string& command)
{
    return CPlatformLayer::ExecuteCmd(command);
}

// What one run's records leave to be undone.
struct CJournalRecovery::Section {
    pid_t pid = 0;
    time_t started = 0;
    std::vector<std::pair<std::string, std::string>> rules; // path, SHA-256
    std::vector<std::string> daemons;
    std::vector<std::string> modules;                       // in load order
    std::vector<LeftSession> sessions;
    std::vector<std::string> reports;
    int flag = -1;
    bool flagSet = false;
};

CJournalRecovery::CJournalRecovery(SJournalPolicy policy, std::shared_ptr<IJournalHost> host)
    : m_policy(std::move(policy)), m_host(std::move(host))
{
}

std::string CJournalRecovery::undoRuleFile(const std::string& path, const std::string& sha,
                                           bool& removed)
{
    removed = false;
    if (std::find(m_policy.ruleFiles.begin(), m_policy.ruleFiles.end(), path) ==
        m_policy.ruleFiles.end()) {
        Log(__LINE__, "left " + path + " alone: not a rule file this tool writes");
        return "left " + path + " alone (not a rule file this tool writes)";
    }
    // Without the final "/": lstat would follow a link there.
    const std::string folder = path.substr(0, path.rfind('/'));
    struct stat info;
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != 0 ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        Log(__LINE__, "kept rule file " + path + ": its folder is not root's own");
        return "kept rule file " + path + " (its folder is not root's own)";
    }
    if (::lstat(path.c_str(), &info) != 0) {
        Log(__LINE__, "rule file " + path + " is already gone");
        return "";
    }
    std::string content;
    bool plain = S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_nlink == 1 &&
                 info.st_size <= kMaxRuleFileBytes;
    if (plain) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat opened;
        plain = fd >= 0 && ::fstat(fd, &opened) == 0 && opened.st_ino == info.st_ino &&
                opened.st_dev == info.st_dev;
        char buffer[4096];
        ssize_t n = 0;
        while (plain && (n = ::read(fd, buffer, sizeof(buffer))) > 0 &&
               content.size() <= static_cast<size_t>(kMaxRuleFileBytes)) {
            content.append(buffer, static_cast<size_t>(n));
        }
        plain = plain && n == 0;
        if (fd >= 0) {
            ::close(fd);
        }
    }
    if (!plain) {
        Log(__LINE__, "kept rule file " + path + ": not the plain file of root's it wrote");
        return "kept rule file " + path + " (not the plain file it wrote)";
    }
    if (Sha256Hex(content) != sha) {
        Log(__LINE__, "kept rule file " + path + ": changed since it was written");
        return "kept rule file " + path + " (changed since)";
    }
    if (::unlink(path.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        Log(__LINE__, "cannot remove rule file " + path + ": " + why);
        return "could not remove rule file " + path + " (" + why + ")";
    }
    Log(__LINE__, "removed rule file " + path);
    removed = true;
    return "";
}

std::string CJournalRecovery::undoDaemon(const std::string& name)
{
    if (std::find(m_policy.daemons.begin(), m_policy.daemons.end(), name) ==
        m_policy.daemons.end()) {
        Log(__LINE__, "left daemon " + name + " alone: not a daemon this tool stops");
        return "left daemon " + name + " alone (not a daemon this tool stops)";
    }
    if (!m_policy.startDaemon || !m_policy.startDaemon(name)) {
        Log(__LINE__, "could not start daemon " + name + " again");
        return "could not start daemon " + name + " again";
    }
    Log(__LINE__, "started daemon " + name + " again");
    return "started daemon " + name + " again";
}

std::string CJournalRecovery::undoModule(const std::string& name)
{
    if (m_host->RunShell("lsmod | grep '^" + name + " ' > /dev/null 2>&1") != 0) {
        Log(__LINE__, "module " + name + " is not loaded");
        return "";
    }
    if (m_host->RunShell("rmmod " + name + " > /dev/null 2>&1") != 0) {
        Log(__LINE__, "kept module " + name + ": rmmod refused it (in use)");
        return "kept module " + name + " (in use)";
    }
    Log(__LINE__, "unloaded module " + name);
    return "unloaded module " + name;
}

std::string CJournalRecovery::undoReportFile(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = path.substr(0, slash == 0 ? 1 : slash);
    const std::string name = path.substr(slash + 1);
    if (!IsReportTemporaryName(name)) {
        Log(__LINE__, "left " + path + " alone: not a report's temporary file");
        return "left " + path + " alone (not a report's temporary file)";
    }
    // Through the folder's descriptor: what is checked is what goes.
    const int dir = OpenFolderWithoutLinks(folder);
    if (dir < 0 && (errno == ELOOP || errno == ENOTDIR)) {
        Log(__LINE__, "left " + path + " alone: its folder is reached through a link");
        return "left " + path + " alone (its folder is reached through a link)";
    }
    if (dir < 0 && errno != ENOENT) {
        const std::string why = std::strerror(errno);
        Log(__LINE__, "cannot reach the folder of " + path + ": " + why);
        return "could not reach the folder of " + path + " (" + why + ")";
    }
    struct stat info;
    const bool found = dir >= 0 && ::fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    std::string said;
    if (!found) {
        Log(__LINE__, "report temporary file " + path + " is already gone");
    } else if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid() || info.st_nlink != 1) {
        Log(__LINE__, "left " + path + " alone: not the file the report was written into");
        said = "left " + path + " alone (not the report's temporary file)";
    } else if (::unlinkat(dir, name.c_str(), 0) != 0) {
        Log(__LINE__, "cannot remove report temporary file " + path + ": " + std::strerror(errno));
        said = "could not remove " + path;
    } else {
        Log(__LINE__, "removed report temporary file " + path);
        said = "removed report temporary file " + path;
    }
    if (dir >= 0) {
        ::close(dir);
    }
    return said;
}

std::vector<std::string> CJournalRecovery::Run(CChangeJournal& journal, bool updating)
{
    std::vector<std::string> lines;
    JournalText text;
    std::string why;
    const CChangeJournal::ELeft left = journal.ReadLeftBehind(text, why);
    switch (left) {
    case CChangeJournal::ELeft::None:
        break;
    case CChangeJournal::ELeft::UntrustedFolder:
        Log(__LINE__, "not read: " + why);
        lines.push_back("lumoswitch: " + why +
                        ": the crash journal there was not read, and this "
                        "run keeps none; if it is killed, the next run cannot undo what it "
                        "changed");
        return lines;
    case CChangeJournal::ELeft::Untrusted:
        Log(__LINE__, "not read: " + why);
        lines.push_back("lumoswitch: the crash journal was not read (" + why +
                        "); nothing it lists was undone");
        break;
    case CChangeJournal::ELeft::Unreadable:
        Log(__LINE__, "not read: " + why);
        lines.push_back("lumoswitch: the crash journal was not read (" + why +
                        "); nothing it lists was undone; it is kept as " + journal.path() +
                        ".damaged");
        break;
    case CChangeJournal::ELeft::Read:
        if (text.tornTail) {
            Log(__LINE__, "ignored the torn last record");
        }
        break;
    }

    // Every record is checked before any is acted on; reading stops at the
    // first one that is not as this tool writes it, as at damage.
    std::vector<Section> sections;
    size_t damagedAt = text.damagedAtLine;
    for (size_t i = 0; i < text.records.size(); ++i) {
        const JournalRecord& r = text.records[i];
        const std::vector<std::string>& f = r.fields;
        Section* s = sections.empty() ? nullptr : &sections.back();
        unsigned long long number = 0;
        unsigned long long other = 0;
        uint16_t handle = 0;
        bool ok = true;
        if (r.kind == "run" && f.size() == 2 && ParseNumber(f[0], 0x7fffffff, number) &&
            ParseNumber(f[1], 0xffffffffffffull, other)) {
            sections.emplace_back();
            sections.back().pid = static_cast<pid_t>(number);
            sections.back().started = static_cast<time_t>(other);
        } else if (s == nullptr) {
            ok = false;
        } else if (r.kind == "rule" && f.size() == 2 && IsAbsolutePath(f[0]) && IsSha256(f[1])) {
            s->rules.emplace_back(f[0], f[1]);
        } else if (r.kind == "rule-gone" && f.size() == 1) {
            auto it = std::find_if(s->rules.begin(), s->rules.end(),
                                   [&](const std::pair<std::string, std::string>& rule) {
                                       return rule.first == f[0];
                                   });
            if (it != s->rules.end()) {
                s->rules.erase(it);
            }
        } else if (r.kind == "module" && f.size() == 1 && IsPlainName(f[0])) {
            s->modules.push_back(f[0]);
        } else if (r.kind == "module-gone" && f.size() == 1) {
            EraseFirst(s->modules, f[0]);
        } else if (r.kind == "daemon-stopped" && f.size() == 1 && IsPlainName(f[0])) {
            s->daemons.push_back(f[0]);
        } else if (r.kind == "daemon-running" && f.size() == 1) {
            EraseFirst(s->daemons, f[0]);
        } else if (r.kind == "session" && f.size() == 1 && ParseHandle(f[0], handle)) {
            s->sessions.push_back({handle, s->pid, s->started});
        } else if (r.kind == "left-session" && f.size() == 3 && ParseHandle(f[0], handle) &&
                   ParseNumber(f[1], 0x7fffffff, number) &&
                   ParseNumber(f[2], 0xffffffffffffull, other)) {
            s->sessions.push_back({handle, static_cast<pid_t>(number), static_cast<time_t>(other)});
        } else if ((r.kind == "session-gone" || r.kind == "left-session-gone") && f.size() == 1 &&
                   ParseHandle(f[0], handle)) {
            auto it = std::find_if(s->sessions.begin(), s->sessions.end(),
                                   [&](const LeftSession& open) { return open.handle == handle; });
            if (it != s->sessions.end()) {
                s->sessions.erase(it);
            }
        } else if ((r.kind == "flag" || r.kind == "flag-set") && f.size() == 1 &&
                   ParseNumber(f[0], 255, number)) {
            s->flag = static_cast<int>(number);
            s->flagSet = r.kind == "flag-set";
        } else if (r.kind == "report" && f.size() == 1 && IsAbsolutePath(f[0])) {
            s->reports.push_back(f[0]);
        } else if (r.kind == "report-gone" && f.size() == 1) {
            EraseFirst(s->reports, f[0]);
        } else {
            ok = false;
        }
        if (!ok) {
            // Line numbers count the first line, which holds no record.
            damagedAt = i + 2;
            break;
        }
    }
    if (damagedAt != 0) {
        Log(__LINE__, "damaged at line " + std::to_string(damagedAt) +
                          ": nothing listed from there on is undone");
    }

    std::vector<LeftSession> carried;
    bool rulesRemoved = false;
    for (const Section& s : sections) {
        const std::string who =
            "process " + std::to_string(s.pid) + " started at " + JournalTime(s.started);
        Log(__LINE__, "recovering from the interrupted run of " + who);
        std::vector<std::string> said;
        std::vector<std::string> removedRules;
        for (const std::string& report : s.reports) {
            const std::string step = undoReportFile(report);
            if (!step.empty()) {
                said.push_back(step);
            }
        }
        for (const auto& rule : s.rules) {
            bool removed = false;
            const std::string step = undoRuleFile(rule.first, rule.second, removed);
            if (removed) {
                removedRules.push_back(rule.first);
            } else if (!step.empty()) {
                said.push_back(step);
            }
        }
        if (!removedRules.empty()) {
            rulesRemoved = true;
            said.insert(said.begin(), std::string("removed rule ") +
                                          (removedRules.size() == 1 ? "file " : "files ") +
                                          Join(removedRules));
        }
        for (const std::string& daemon : s.daemons) {
            said.push_back(undoDaemon(daemon));
        }
        // Unloaded the other way round: later modules use the earlier ones.
        for (auto it = s.modules.rbegin(); it != s.modules.rend(); ++it) {
            const std::string step = undoModule(*it);
            if (!step.empty()) {
                said.push_back(step);
            }
        }
        for (const LeftSession& session : s.sessions) {
            carried.push_back(session);
            const std::string opened =
                session.pid == s.pid ? std::string()
                                     : " (opened by process " + std::to_string(session.pid) + ")";
            if (updating) {
                Log(__LINE__, "repository session " + SessionHandleText(session.handle) + opened +
                                  " is ended when this run reaches the controller");
                said.push_back("its repository session " + SessionHandleText(session.handle) +
                               opened + " is ended when this run reaches the controller");
            } else {
                Log(__LINE__, "repository session " + SessionHandleText(session.handle) + opened +
                                  " stays listed until a run with -u ends it");
                said.push_back("its repository session " + SessionHandleText(session.handle) +
                               opened + " stays listed until a run with -u ends it");
            }
        }
        if (s.flag >= 0 && s.flagSet) {
            Log(__LINE__, "power-cycle flag " + std::to_string(s.flag) + " left set");
            said.push_back("the power-cycle flag it set stays set (the power cycle it staged is "
                           "still wanted)");
        } else if (s.flag >= 0) {
            Log(__LINE__,
                "power-cycle flag " + std::to_string(s.flag) + " was asked for, not confirmed");
            said.push_back("its request for the power-cycle flag was not confirmed (the flag is "
                           "as the controller holds it)");
        }
        if (said.empty()) {
            said.push_back("nothing was left to undo");
        }
        std::string line = "lumoswitch: recovered from an interrupted run of " + who + ": ";
        for (size_t i = 0; i < said.size(); ++i) {
            line += (i == 0 ? "" : "; ") + said[i];
        }
        lines.push_back(line);
    }
    if (rulesRemoved && m_policy.reloadRules) {
        m_policy.reloadRules();
    }
    if (damagedAt != 0) {
        lines.push_back("lumoswitch: the crash journal " + journal.path() + " is damaged at line " +
                        std::to_string(damagedAt) + "; nothing it lists from there on was undone");
    }

    std::string beginWhy;
    if (left != CChangeJournal::ELeft::Untrusted &&
        journal.Begin(carried, left == CChangeJournal::ELeft::Unreadable, beginWhy)) {
        Log(__LINE__, "this run's journal is " + journal.path());
    } else {
        if (beginWhy.empty()) {
            beginWhy = why;
        }
        Log(__LINE__, "this run keeps no journal: " + beginWhy);
        lines.push_back("lumoswitch: this run keeps no crash journal (" + beginWhy +
                        "): if it is killed, the next run cannot undo what it changed");
    }
    return lines;
}
