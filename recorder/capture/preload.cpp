// The library that the make shim preloads into each real make of a recorded
// build.  Inside make it does these small things and nothing else:
//   - every program that make starts for a recipe (make 4.3 starts them all
//     with posix_spawn, older makes with vfork and execvp) is logged to
//     exec.tsv of the process's spool folder, with the target taken from the
//     child's TRACEMAKE_TARGET, and the library takes itself out of the
//     child's LD_PRELOAD;
//   - when make exits, its data base is written to db.txt by the same
//     exported functions that `make -p` prints it with (in the build's
//     language, as -p would), so that make runs without -p and the build's
//     output stays exactly its own;
//   - when make re-executes itself (after remaking a makefile) it runs the
//     real make again instead of the shim that argv[0] names;
//   - a sub-make that make starts itself (posix_spawn of the shim) is
//     started and recorded here instead of by the shim (sub_makes.h), and
//     its end noted when make reaps it (wait, waitpid, wait3, wait4);
//   - the first status call per path (first_status.cpp) is written to
//     status.tsv when make exits or re-executes itself, and the digests of
//     those files (end_digests.cpp) to digests.tsv when it exits.
// It is C++ only in name: no exceptions, no standard library, so that make
// does not load libstdc++ for it.
#include <alloca.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <libintl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "capture/capture_env.h"
#include "capture/first_status.h"
#include "capture/sub_makes.h"
#include "common/copy_text.h"

extern char **environ;

using capture::find_env;
using capture::sets;

namespace {

const char preload_var[] = "LD_PRELOAD";

/// The spool folder of this make process ("SPOOL/procs/ID"), or null when
/// make runs outside a recording.
char *proc_dir;
/// The spool folder of the build.
const char *spool;
/// The real make, run again when make re-executes itself.
const char *real_make;
/// exec.tsv, opened at the first program started.
int exec_fd = -1;
/// The process that loaded the library: only it writes the data base.
pid_t make_pid;

__attribute__((constructor)) void start()
{
    const char *spool_env = getenv(capture::env_spool);
    const char *proc = getenv(capture::env_proc);
    real_make = getenv(capture::env_real_make);
    make_pid = getpid();
    if (!spool_env || !proc || !*spool_env || !*proc || !(spool = strdup(spool_env)))
        return;
    if (asprintf(&proc_dir, "%s/procs/%s", spool, proc) < 0)
        proc_dir = nullptr;
    else
        sub_makes::init(spool);
}

/// True when make ran `argv` as its shell with the recipe text last: a
/// known shell and a flag word ending in 'c' (-c, -ec, .SHELLFLAGS) before
/// it.  make runs any other line directly, split into words.
bool run_by_shell(char *const argv[], int argc)
{
    static const char *const shells[] = {"sh", "bash", "dash", "ash", "ksh", "mksh", "zsh", "yash", "posh", "busybox"};
    if (argc < 3)
        return false;
    const char *flags = argv[argc - 2];
    size_t flags_length = strlen(flags);
    if (flags[0] != '-' || flags[flags_length - 1] != 'c')
        return false;
    const char *slash = strrchr(argv[0], '/');
    const char *name = slash ? slash + 1 : argv[0];
    for (const char *shell : shells)
        if (strcmp(name, shell) == 0)
            return true;
    return false;
}

/// Appends "target<TAB>command" for a program make started to exec.tsv,
/// in one write so that the line stays whole.  It may run in a child that
/// make made with vfork, which shares make's memory until it execs: the
/// line lives in pages of its own that are given back before it returns,
/// and such a child opens exec.tsv for itself, leaving make's descriptor be.
void log_command(const char *target, char *const argv[])
{
    int argc = 0;
    size_t length = strlen(target);
    while (argv[argc])
        length += strlen(argv[argc++]) + 1;
    const size_t size = 2 * length + 2;
    void *pages = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED)
        return;
    char *line = static_cast<char *>(pages);
    char *end = copy_text::escape(line, target);
    *end++ = '\t';
    if (run_by_shell(argv, argc)) {
        end = copy_text::escape(end, argv[argc - 1]);
    } else {
        for (int i = 0; i < argc; ++i) {
            if (i > 0)
                *end++ = ' ';
            end = copy_text::escape(end, argv[i]);
        }
    }
    *end++ = '\n';
    const bool in_make = getpid() == make_pid;
    int fd = in_make ? exec_fd : -1;
    if (fd < 0) {
        char *path;
        if (asprintf(&path, "%s/exec.tsv", proc_dir) >= 0) {
            fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
            free(path);
        }
        if (in_make)
            exec_fd = fd;
    }
    if (fd >= 0 && write(fd, line, end - line) < 0) {
        // Nothing to do: the build must go on whether or not it is recorded.
    }
    if (!in_make && fd >= 0)
        close(fd);
    munmap(pages, size);
}

/// This library's entry in an LD_PRELOAD value, with the separators after
/// it (or before it, when it is the last): where it starts and ends, or
/// start == end when it is not there.
struct Span {
    size_t start = 0, end = 0;
};

Span library_entry(const char *value)
{
    const size_t name_length = strlen(capture::preload_name);
    for (size_t at = strspn(value, ": "); value[at];) {
        const size_t length = strcspn(value + at, ": ");
        const bool ours = length >= name_length &&
                          strncmp(value + at + length - name_length, capture::preload_name, name_length) == 0 &&
                          (length == name_length || value[at + length - name_length - 1] == '/');
        size_t next = at + length + strspn(value + at + length, ": ");
        if (ours) {
            if (value[next] != '\0')
                return {at, next};
            size_t start = at;
            while (start > 0 && strchr(": ", value[start - 1]))
                --start;
            return {start, next};
        }
        at = next;
    }
    return {};
}

/// How a child's environment is made without this library: the number of
/// entries of the copy (its null included) and the size of the LD_PRELOAD
/// entry it keeps (0 when the variable goes), or entries == 0 when `env`
/// needs no change.
struct CopySize {
    size_t entries = 0, kept_entry = 0;
};

CopySize size_without_library(char *const env[])
{
    const char *value = find_env(env, preload_var);
    if (!value)
        return {};
    const Span ours = library_entry(value);
    if (ours.start == ours.end)
        return {};
    CopySize size;
    while (env[size.entries])
        ++size.entries;
    ++size.entries;
    const size_t kept = strlen(value) - (ours.end - ours.start);
    if (kept > 0)
        size.kept_entry = strlen(preload_var) + 1 + kept + 1;
    return size;
}

/// Fills `copy` (and `kept_entry`, of the sizes that size_without_library
/// gave) with `env` without this library in LD_PRELOAD; the variable goes
/// when nothing else is left in it.
void fill_without_library(char *const env[], char **copy, char *kept_entry)
{
    const char *value = find_env(env, preload_var);
    const Span ours = library_entry(value);
    if (kept_entry) {
        char *out = stpcpy(stpcpy(kept_entry, preload_var), "=");
        out = stpncpy(out, value, ours.start);
        strcpy(out, value + ours.end);
    }
    int out = 0;
    for (int i = 0; env[i]; ++i) {
        if (!sets(env[i], preload_var)) {
            copy[out++] = env[i];
        } else if (kept_entry) {
            // Only once: an environment may name LD_PRELOAD twice.
            copy[out++] = kept_entry;
            kept_entry = nullptr;
        }
    }
    copy[out] = nullptr;
}

/// An environment without this library, made in make's own process.
class ChildEnvironment {
public:
    explicit ChildEnvironment(char *const env[])
    {
        const CopySize size = size_without_library(env);
        if (size.entries == 0)
            return;
        copy_ = static_cast<char **>(malloc(size.entries * sizeof *copy_));
        kept_ = size.kept_entry ? static_cast<char *>(malloc(size.kept_entry)) : nullptr;
        if (!copy_ || (size.kept_entry && !kept_)) {
            free(copy_);
            copy_ = nullptr;
            return;
        }
        fill_without_library(env, copy_, kept_);
    }
    ~ChildEnvironment()
    {
        free(copy_);
        free(kept_);
    }
    ChildEnvironment(const ChildEnvironment &) = delete;
    ChildEnvironment &operator=(const ChildEnvironment &) = delete;
    /// The copy, or `env` itself when it needs no change (or no memory was had).
    char *const *or_else(char *const env[]) const { return copy_ ? copy_ : env; }

private:
    char **copy_ = nullptr;
    char *kept_ = nullptr;
};

using Printer = void (*)();

/// make's exported functions that print its data base, in the order of `make -p`.
const char *const printer_names[] = {"print_variable_data_base", "print_dir_data_base", "print_rule_data_base",
                                     "print_file_data_base", "print_vpath_data_base"};
constexpr size_t printer_count = sizeof printer_names / sizeof printer_names[0];

/// Sends stdout, flushed first, to a new file `path`; the saved stdout to
/// restore afterwards, or -1 with stdout unchanged.
int stdout_to_file(const char *path)
{
    int db_fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (db_fd < 0)
        return -1;
    fflush(stdout);
    int saved_stdout = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (saved_stdout < 0 || dup2(db_fd, STDOUT_FILENO) < 0) {
        close(db_fd);
        if (saved_stdout >= 0)
            close(saved_stdout);
        return -1;
    }
    close(db_fd);
    return saved_stdout;
}

/// Set while the data base is printed: make's localtime() then takes the
/// time zone as it was at the start of the printing.
bool printing_database;

/// Prints the data base to stdout between the banner lines that `make -p` prints around it.
void print_database(const Printer (&printers)[printer_count], void (*strcache_stats)(const char *))
{
    // A large full buffer spares a write per line, and per page.  stdout
    // keeps it after the printing (setvbuf without a buffer keeps the one
    // in use), which is why it is never freed.
    static char buffer[1 << 16];
    const bool line_buffered = __flbf(stdout);
    setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    tzset();
    printing_database = true;

    time_t now = time(nullptr);
    printf(dgettext("make", "\n# Make data base, printed on %s"), ctime(&now));
    for (Printer print : printers)
        print();
    if (strcache_stats)
        strcache_stats("#");
    now = time(nullptr);
    printf(dgettext("make", "\n# Finished Make data base on %s\n"), ctime(&now));

    printing_database = false;
    fflush(stdout);
    setvbuf(stdout, nullptr, line_buffered ? _IOLBF : _IOFBF, 0);
}

/// make's data base as `make -p` prints it (without the version banner),
/// written to db.txt through make's own exported printing functions.
void write_database()
{
    Printer printers[printer_count];
    for (size_t i = 0; i < printer_count; ++i)
        if (!(printers[i] = reinterpret_cast<Printer>(dlsym(RTLD_DEFAULT, printer_names[i]))))
            return; // a make that does not export them: no data base
    auto strcache_stats = reinterpret_cast<void (*)(const char *)>(dlsym(RTLD_DEFAULT, "strcache_print_stats"));

    char *path;
    if (asprintf(&path, "%s/db.txt", proc_dir) < 0)
        return;
    const int saved_stdout = stdout_to_file(path);
    free(path);
    if (saved_stdout < 0)
        return;
    // A data base that cannot be written (a full disk) must not leave its
    // error on make's stdout, which make checks at its exit.
    const bool stdout_failed_before = ferror(stdout);
    print_database(printers, strcache_stats);
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);
    if (!stdout_failed_before)
        clearerr(stdout);
}

template <typename Function> Function next_definition(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                const posix_spawnattr_t *attributes, char *const argv[], char *const envp[])
{
    static sub_makes::Spawn real_spawn = next_definition<sub_makes::Spawn>("posix_spawn");
    const ChildEnvironment child_env(envp);
    int result;
    if (!sub_makes::spawn(real_spawn, pid, path, actions, attributes, argv, child_env.or_else(envp), &result))
        result = real_spawn(pid, path, actions, attributes, argv, child_env.or_else(envp));
    // Only a recipe's processes get TRACEMAKE_TARGET: make's $(shell) runs
    // with make's own environment, from which the shim took it out.
    const char *target = find_env(envp, capture::target_variable);
    if (result == 0 && target && proc_dir)
        log_command(target, argv);
    return result;
}

// make learns how its children ended from these: a sub-make that the
// library started gets its end noted here.
pid_t waitpid(pid_t pid, int *status, int options)
{
    static auto real = next_definition<pid_t (*)(pid_t, int *, int)>("waitpid");
    int own = 0;
    const pid_t result = real(pid, status ? status : &own, options);
    sub_makes::reaped(result, status ? *status : own);
    return result;
}

pid_t wait(int *status)
{
    return waitpid(-1, status, 0);
}

pid_t wait4(pid_t pid, int *status, int options, struct rusage *usage)
{
    static auto real = next_definition<pid_t (*)(pid_t, int *, int, struct rusage *)>("wait4");
    int own = 0;
    const pid_t result = real(pid, status ? status : &own, options, usage);
    sub_makes::reaped(result, status ? *status : own);
    return result;
}

pid_t wait3(int *status, int options, struct rusage *usage)
{
    return wait4(-1, status, options, usage);
}

int execvp(const char *file, char *const argv[])
{
    using Exec = int (*)(const char *, char *const[]);
    static Exec real_execvp = next_definition<Exec>("execvp");
    if (proc_dir && getpid() != make_pid) {
        // A child of make about to run a program: a make that starts them
        // with fork or vfork and exec (make before 4.3) sets `environ` to
        // the child's environment first.  The copy without this library
        // lives on the stack, which a vfork child may use below its frame.
        if (const char *target = find_env(environ, capture::target_variable))
            log_command(target, argv);
        const CopySize size = size_without_library(environ);
        if (size.entries == 0)
            return real_execvp(file, argv);
        char **copy = static_cast<char **>(alloca(size.entries * sizeof *copy));
        char *kept = size.kept_entry ? static_cast<char *>(alloca(size.kept_entry)) : nullptr;
        fill_without_library(environ, copy, kept);
        // The copy dies with this frame: a child whose exec failed (and
        // that may try the shell next) gets its own environment back.
        char **child_environ = environ;
        environ = copy;
        const int result = real_execvp(file, argv);
        environ = child_environ;
        return result;
    }
    // make's own process calls execvp only to re-execute itself, with argv[0]: the shim.
    const char *slash = strrchr(file, '/');
    if (proc_dir && real_make && *real_make && strcmp(slash ? slash + 1 : file, "make") == 0) {
        first_status_write(proc_dir, spool, false);
        return real_execvp(real_make, argv);
    }
    return real_execvp(file, argv);
}

// make prints each file's time with localtime(), which looks at the time
// zone file again on every call (a status call per file known); the
// printing takes it once.
struct tm *localtime(const time_t *time)
{
    static auto real = next_definition<struct tm *(*)(const time_t *)>("localtime");
    static struct tm parts;
    return printing_database ? localtime_r(time, &parts) : real(time);
}

void exit(int status)
{
    using Exit = void (*)(int);
    static bool written;
    if (proc_dir && !written && getpid() == make_pid) {
        written = true;
        write_database();
        first_status_write(proc_dir, spool, true);
    }
    next_definition<Exit>("exit")(status);
    _exit(status);
}

} // extern "C"
