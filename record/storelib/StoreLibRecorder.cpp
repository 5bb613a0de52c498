// Recording storage library: installed as the package's ./libstorelibit.so,
// it loads the real library named by LUMOSWITCH_RECORD_LIBRARY, hands every
// command to it unchanged and appends one transcript line per command: the
// record, the buffer before and after the call, the result.
//
// Without a usable real library it answers every command as the program's own
// layer does when no library loads (0x8002), so the run's reports and exit
// status are those of a run without any library, and says so in the
// transcript.

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "StoreLibDecode.h"
#include "Transcript.h"
#include "Writer.h"

extern "C" __attribute__((visibility("default"))) uint32_t ProcessLibCommandIT(void* pCmdParam);

namespace
{

using lumorecord::Line;
using lumorecord::Writer;
using EntryFn = uint32_t (*)(void*);

pthread_mutex_t gLock = PTHREAD_MUTEX_INITIALIZER;
bool gResolved = false;
EntryFn gReal = nullptr;
void* gHandle = nullptr;
bool gWarned = false;

// Who this object is, taken while it is being loaded: the program loads its
// library through a descriptor it closes right after, so by the first command
// the name the loader kept may stand for another file (the descriptor number
// is reused, for instance by the real library's own open).
struct stat gSelf;
bool gSelfKnown = false;

__attribute__((constructor)) void RememberSelf()
{
    Dl_info self;
    gSelfKnown = dladdr(reinterpret_cast<void*>(&ProcessLibCommandIT), &self) != 0 &&
                 self.dli_fname != nullptr && stat(self.dli_fname, &gSelf) == 0;
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool SafeOwner(const struct stat& st)
{
    return (st.st_uid == 0 || st.st_uid == geteuid()) && (st.st_mode & 022) == 0;
}

// Loads the real library; returns the status word for the transcript and
// sets `why` to a fixed text (no host paths) when it is not usable.
std::string LoadReal(std::string& library, std::string& why)
{
    const char* path = std::getenv("LUMOSWITCH_RECORD_LIBRARY");
    if (path == nullptr || *path == '\0') {
        why = "LUMOSWITCH_RECORD_LIBRARY is not set";
        return "absent";
    }
    library = BaseName(path);
    // The library runs as root in this process: the same rules as for the
    // package's own library. No link, owned by root (or this user), written
    // by nobody else, in a folder nobody else may change.
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        why =
            errno == ELOOP ? "the real library is a symbolic link" : "the real library is missing";
        return errno == ELOOP ? "refused" : "absent";
    }
    struct stat st;
    struct stat dir;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !SafeOwner(st) ||
        lstat(DirName(path).c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode) || !SafeOwner(dir)) {
        close(fd);
        why = "the real library or its folder may be changed by other users";
        return "refused";
    }
    if (!gSelfKnown || (gSelf.st_dev == st.st_dev && gSelf.st_ino == st.st_ino)) {
        close(fd);
        why = "LUMOSWITCH_RECORD_LIBRARY names the recorder itself";
        return "self";
    }
    // Through the descriptor just checked, so the file loaded is that file.
    // Named through the process ID: the program may have loaded this recorder
    // as /proc/self/fd/N with the number this descriptor now reuses, and the
    // loader would hand back the recorder for a name it already knows.
    const std::string byFd =
        "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd);
    void* handle = dlopen(byFd.c_str(), RTLD_NOW | RTLD_LOCAL);
    close(fd);
    if (handle == nullptr) {
        why = "the real library does not load";
        return "absent";
    }
    void* sym = dlsym(handle, "ProcessLibCommandIT");
    if (sym == nullptr || sym == reinterpret_cast<void*>(&ProcessLibCommandIT)) {
        dlclose(handle);
        why = "the real library has no ProcessLibCommandIT";
        return "absent";
    }
    gHandle = handle;
    gReal = reinterpret_cast<EntryFn>(sym);
    return "ok";
}

void Warn(const char* what)
{
    if (!gWarned) {
        gWarned = true;
        std::fprintf(stderr, "lumoswitch recorder: %s\n", what);
    }
}

void Resolve()
{
    pthread_mutex_lock(&gLock);
    if (!gResolved) {
        gResolved = true;
        std::string library;
        std::string why;
        const std::string status = LoadReal(library, why);
        Writer* w = Writer::Get();
        if (w == nullptr) {
            Warn((std::string("not recording: ") + Writer::Reason()).c_str());
        } else {
            Line l;
            l.add("b", "storelib").add("ev", "load").add("status", status);
            if (!library.empty())
                l.add("library", library);
            if (!why.empty())
                l.add("reason", why);
            w->append(l);
        }
        if (status != "ok")
            Warn(why.c_str());
    }
    pthread_mutex_unlock(&gLock);
}

uint32_t Forward(void* p)
{
    return gReal != nullptr ? gReal(p) : lumorecord::kResultLibraryUnavailable;
}

__attribute__((destructor)) void Unload()
{
    // The program unloads this library when it is done with it; the real one
    // goes with it, as it would without the recorder.
    if (gHandle != nullptr)
        dlclose(gHandle);
    gHandle = nullptr;
    gReal = nullptr;
    Writer::Release();
}

} // namespace

extern "C" uint32_t ProcessLibCommandIT(void* pCmdParam)
{
    Resolve();
    Writer* w = Writer::Get();
    if (w == nullptr)
        return Forward(pCmdParam);

    uint8_t* rec = static_cast<uint8_t*>(pCmdParam);
    Line l;
    l.add("b", "storelib").add("ev", "call");
    if (rec == nullptr) {
        const uint32_t rc = Forward(pCmdParam);
        l.add("op", "UNKNOWN").add("rec", "").add("rc", rc);
        w->append(l);
        return rc;
    }

    const lumorecord::CommandView c = lumorecord::DecodeCommand(rec, lumorecord::kCmdRecordSize);
    uint8_t* data = lumorecord::DataPointer(rec);
    const long n = lumorecord::BufferSize(c, data);
    std::vector<uint8_t> before;
    if (n > 0)
        before.assign(data, data + n);
    const std::vector<uint8_t> recBefore(rec, rec + lumorecord::kCmdRecordKept);

    const uint32_t rc = Forward(pCmdParam);
    const int callErrno = errno;

    std::vector<uint8_t> after;
    if (n > 0)
        after.assign(data, data + n);
    const std::vector<uint8_t> recAfter(rec, rec + lumorecord::kCmdRecordKept);

    char ctrl[12];
    std::snprintf(ctrl, sizeof ctrl, "%08x", c.ctrl);
    l.add("op", lumorecord::OpName(c.op)).add("type", c.type).add("cmd", c.cmd).add("ctrl", ctrl);
    l.add("rec", lumorecord::Hex(recBefore)).add("ptr", c.hasData ? 1 : 0).add("size", c.size);
    if (n < 0) {
        l.add("layout", "raw");
    } else if (n > 0) {
        l.add("in", lumorecord::Hex(before));
        if (after == before)
            l.add("out_same", 1);
        else
            l.add("out", lumorecord::Hex(after));
    }
    if (recAfter != recBefore)
        l.add("rec_out", lumorecord::Hex(recAfter));
    lumorecord::AddDecoded(l, c, before, after, rc);
    l.add("rc", rc);
    w->append(l);
    errno = callErrno;
    return rc;
}
