// A sub-make started in make's own process: what the shim would do for it
// (shim.cpp), without a process of its own.  The shim costs each
// make process a program start; here it costs a folder and a few lines.
#include "capture/sub_makes.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "capture/capture_env.h"
#include "capture/make_start.h"
#include "common/copy_text.h"

using capture::find_env;

namespace {

const char *spool;
const char *real_make;
const char *shim;
/// This library as make's LD_PRELOAD names it: first in a sub-make's.
const char *library;
/// Sub-makes started so far: their folders are named after make and this count.
unsigned started;

/// A sub-make that spawn() started and make has not reaped yet.  Nodes
/// are never freed, only reused: make may reap from a signal handler.
struct Child {
    pid_t pid; ///< 0 while the node is free
    char *folder;
    Child *next;
};
Child *children;

/// Text grown with malloc; once an allocation fails it stays failed.
class Text {
public:
    Text() = default;
    Text(const Text &) = delete;
    Text &operator=(const Text &) = delete;
    ~Text() { free(data_); }

    void add(const char *text, size_t length)
    {
        if (!reserve(length))
            return;
        memcpy(data_ + size_, text, length);
        size_ += length;
        data_[size_] = '\0';
    }
    void add(const char *text) { add(text, strlen(text)); }
    /// `text` in COPY text form.
    void escaped(const char *text)
    {
        if (!reserve(2 * strlen(text)))
            return;
        size_ = copy_text::escape(data_ + size_, text) - data_;
        data_[size_] = '\0';
    }
    /// A "key<TAB>value" line of proc.tsv.
    void key(const char *name, const char *value)
    {
        add(name);
        add("\t");
        escaped(value);
        add("\n");
    }
    bool ok() const { return !failed_ && data_; }
    void fail() { failed_ = true; }
    const char *c_str() const { return data_; }
    size_t size() const { return size_; }
    /// Hands the text over to the caller, who frees it; null when it failed.
    char *release()
    {
        char *text = data_;
        data_ = nullptr;
        if (failed_) {
            free(text);
            return nullptr;
        }
        return text;
    }

private:
    bool reserve(size_t more)
    {
        if (failed_)
            return false;
        if (size_ + more + 1 > capacity_) {
            const size_t capacity = 2 * (size_ + more + 1);
            char *grown = static_cast<char *>(realloc(data_, capacity));
            if (!grown) {
                failed_ = true;
                return false;
            }
            data_ = grown;
            capacity_ = capacity;
        }
        return true;
    }
    char *data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
    bool failed_ = false;
};

/// Digits of `value` ending at `end` (written backwards); returns where they start.
char *digits_before(char *end, uint64_t value)
{
    do {
        *--end = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return end;
}

/// The wall-clock time as the spool writes it ("1765136182.123456"), into
/// `text` (32 bytes); no stdio, for the reaping that a signal handler may do.
void wall_clock(char *text)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char buffer[32];
    char *end = buffer + sizeof buffer;
    char *start = digits_before(end, static_cast<uint64_t>(now.tv_nsec / 1000) + 1000000);
    *start = '.'; // the leading 1 made the six digits; the point takes its place
    start = digits_before(start, static_cast<uint64_t>(now.tv_sec));
    memcpy(text, start, static_cast<size_t>(end - start));
    text[end - start] = '\0';
}

/// Appends `length` bytes to the file `folder`/proc.tsv, creating it when
/// `create`; true when all of them went out.
bool append_keys(const char *folder, const char *text, size_t length, bool create)
{
    char path[4096];
    const size_t folder_length = strlen(folder);
    if (folder_length + sizeof "/proc.tsv" > sizeof path)
        return false;
    memcpy(stpcpy(path, folder), "/proc.tsv", sizeof "/proc.tsv");
    const int fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0), 0666);
    if (fd < 0)
        return false;
    const bool whole = write(fd, text, length) == static_cast<ssize_t>(length);
    return close(fd) == 0 && whole;
}

/// A new folder under procs/ for a sub-make of this make; null when none can be made.
char *new_folder()
{
    for (int attempt = 0; attempt < 1000; ++attempt) {
        char *folder;
        if (asprintf(&folder, "%s/procs/%ld.%u", spool, static_cast<long>(getpid()), ++started) < 0)
            return nullptr;
        if (mkdir(folder, 0777) == 0)
            return folder;
        const bool taken = errno == EEXIST;
        free(folder);
        if (!taken)
            return nullptr;
    }
    return nullptr;
}

/// Takes a folder out of the spool again when its make could not be started.
void remove_folder(const char *folder)
{
    Text path;
    path.add(folder);
    path.add("/proc.tsv");
    if (path.ok())
        unlink(path.c_str());
    rmdir(folder);
}

/// Keeps `pid` and its folder until make reaps it.
void remember(pid_t pid, char *folder)
{
    for (Child *child = children; child; child = child->next)
        if (__atomic_load_n(&child->pid, __ATOMIC_ACQUIRE) == 0) {
            free(child->folder);
            child->folder = folder;
            __atomic_store_n(&child->pid, pid, __ATOMIC_RELEASE);
            return;
        }
    Child *child = static_cast<Child *>(malloc(sizeof *child));
    if (!child) {
        free(folder); // its end goes unrecorded: the load says so
        return;
    }
    *child = {pid, folder, children};
    __atomic_store_n(&children, child, __ATOMIC_RELEASE);
}

/// The keys of proc.tsv known when the sub-make starts.
void start_keys(Text &keys, char *const argv[], const char *shown, char *const env[], const char *cwd)
{
    char *cmdline = make_start::command_line(argv, shown);
    char start[32];
    wall_clock(start);
    const char *parent = find_env(env, capture::env_proc);
    const char *target = find_env(env, capture::target_variable);
    keys.key("parent", parent ? parent : "");
    keys.key("parent_target", target ? target : "");
    keys.key("startdir", cwd);
    keys.key("argv0", shown);
    keys.key("cmdline", cmdline ? cmdline : "");
    keys.key("start", start);
    if (!cmdline)
        keys.fail();
    free(cmdline);
}

} // namespace

namespace sub_makes {

void init(const char *spool_folder)
{
    Dl_info self{};
    if (!dladdr(reinterpret_cast<void *>(&init), &self) || !self.dli_fname)
        return;
    library = strdup(self.dli_fname);
    real_make = getenv(capture::env_real_make);
    shim = getenv(capture::env_shim);
    spool = spool_folder;
}

bool spawn(Spawn real_spawn, pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
           const posix_spawnattr_t *attributes, char *const argv[], char *const envp[], int *result)
{
    if (!spool || !library || !real_make || !*real_make || !shim || strcmp(path, shim) != 0 || !argv[0])
        return false;
    const char *depth = find_env(envp, capture::env_depth);
    if (depth && atoi(depth) >= capture::depth_limit)
        return false; // the shim refuses it, and says why
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd))
        return false;

    const char *shown = make_start::shown_argv0(argv, shim, envp);
    const char **make_argv = make_start::arguments(argv, shown, shim, envp);
    char *folder = make_argv ? new_folder() : nullptr;
    if (!folder) {
        free(make_argv);
        return false;
    }
    const char *id = strrchr(folder, '/') + 1;
    Text keys;
    start_keys(keys, argv, shown, envp, cwd);
    char **make_env = keys.ok() && append_keys(folder, keys.c_str(), keys.size(), true)
                          ? make_start::environment(envp, id, library)
                          : nullptr;
    if (!make_env) {
        remove_folder(folder);
        free(folder);
        free(make_argv);
        return false;
    }
    *result = real_spawn(pid, real_make, actions, attributes, const_cast<char *const *>(make_argv), make_env);
    make_start::free_environment(make_env);
    free(make_argv);
    if (*result != 0) {
        // The shim tries again, and says what is wrong.
        remove_folder(folder);
        free(folder);
        return false;
    }
    char line[32];
    const int length = snprintf(line, sizeof line, "pid\t%ld\n", static_cast<long>(*pid));
    append_keys(folder, line, static_cast<size_t>(length), false);
    remember(*pid, folder);
    return true;
}

void reaped(pid_t pid, int wait_status)
{
    if (pid <= 0 || !(WIFEXITED(wait_status) || WIFSIGNALED(wait_status)))
        return;
    Child *child = __atomic_load_n(&children, __ATOMIC_ACQUIRE);
    while (child && __atomic_load_n(&child->pid, __ATOMIC_ACQUIRE) != pid)
        child = child->next;
    if (!child)
        return;
    const int saved_errno = errno;
    // No malloc and no stdio: make may reap from its fatal signal handler.
    char text[9000]; // holds the lines below with the digests' path (under 4200 bytes) escaped
    char *out = stpcpy(text, "end\t");
    wall_clock(out);
    out = stpcpy(out + strlen(out), "\nstatus\t");
    char number[24];
    const int status = WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : WEXITSTATUS(wait_status);
    char *digits = digits_before(number + sizeof number - 1, static_cast<uint64_t>(status));
    number[sizeof number - 1] = '\0';
    out = stpcpy(out, digits);
    *out++ = '\n';
    char digests[4200];
    if (make_start::digests_missing(child->folder, digests, sizeof digests)) {
        using make_start::digests_lost;
        ssize_t ignored = write(STDERR_FILENO, make_start::record_not_whole, sizeof make_start::record_not_whole - 1);
        ignored = write(STDERR_FILENO, digests_lost, sizeof digests_lost - 1);
        ignored = write(STDERR_FILENO, digests, strlen(digests));
        ignored = write(STDERR_FILENO, "\n", 1);
        (void)ignored;
        out = copy_text::escape(stpcpy(stpcpy(out, "lost\t"), digests_lost), digests);
        *out++ = '\n';
    }
    append_keys(child->folder, text, static_cast<size_t>(out - text), false);
    __atomic_store_n(&child->pid, 0, __ATOMIC_RELEASE);
    errno = saved_errno;
}

} // namespace sub_makes
