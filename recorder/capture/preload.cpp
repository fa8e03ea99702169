// The library that the make shim preloads into each real make of a recorded
// build.  Inside make it does three small things and nothing else:
//   - every program that make starts for a recipe (make 4.3 starts them all
//     with posix_spawn) is logged to exec.tsv of the process's spool folder,
//     with the target taken from the child's TRACEMAKE_TARGET, and the
//     library takes itself out of the child's LD_PRELOAD;
//   - when make exits, its data base is written to db.txt by the same
//     exported functions that `make -p` prints it with (in the build's
//     language, as -p would), so that make runs without -p and the build's
//     output stays exactly its own;
//   - when make re-executes itself (after remaking a makefile) it runs the
//     real make again instead of the shim that argv[0] names;
//   - the first status call per path (first_status.cpp) is written to
//     status.tsv when make exits or re-executes itself.
// It is C++ only in name: no exceptions, no standard library, so that make
// does not load libstdc++ for it.
#include <dlfcn.h>
#include <fcntl.h>
#include <libintl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "capture/capture_env.h"
#include "capture/first_status.h"
#include "common/copy_text.h"

namespace {

const char preload_var[] = "LD_PRELOAD";

/// The spool folder of this make process ("SPOOL/procs/ID"), or null when
/// make runs outside a recording.
char *proc_dir;
/// The real make, run again when make re-executes itself.
const char *real_make;
/// exec.tsv, opened at the first program started.
int exec_fd = -1;
/// The process that loaded the library: only it writes the data base.
pid_t make_pid;

__attribute__((constructor)) void start()
{
    const char *spool = getenv(capture::env_spool);
    const char *proc = getenv(capture::env_proc);
    real_make = getenv(capture::env_real_make);
    make_pid = getpid();
    if (spool && proc && *spool && *proc && asprintf(&proc_dir, "%s/procs/%s", spool, proc) < 0)
        proc_dir = nullptr;
}

/// True when the environment entry `entry` sets `name`.
bool sets(const char *entry, const char *name)
{
    size_t length = strlen(name);
    return strncmp(entry, name, length) == 0 && entry[length] == '=';
}

/// The value of `name` in `env`, or null.
const char *find_env(char *const env[], const char *name)
{
    for (; env && *env; ++env)
        if (sets(*env, name))
            return *env + strlen(name) + 1;
    return nullptr;
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
/// in one write so that the line stays whole.
void log_command(const char *target, char *const argv[])
{
    int argc = 0;
    size_t length = strlen(target);
    while (argv[argc])
        length += strlen(argv[argc++]) + 1;
    char *line = static_cast<char *>(malloc(2 * length + 2));
    if (!line)
        return;
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
    if (exec_fd < 0) {
        char *path;
        if (asprintf(&path, "%s/exec.tsv", proc_dir) >= 0) {
            exec_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
            free(path);
        }
    }
    if (exec_fd >= 0 && write(exec_fd, line, end - line) < 0) {
        // Nothing to do: the build must go on whether or not it is recorded.
    }
    free(line);
}

/// A copy of `env` whose LD_PRELOAD no longer names this library (the
/// variable dropped when nothing else is left), or null when `env` needs no
/// change.  The shim puts the library first, so only the first entry is looked at.
char **without_library(char *const env[])
{
    const char *value = find_env(env, preload_var);
    if (!value)
        return nullptr;
    size_t first = strcspn(value, ": ");
    size_t name_length = strlen(capture::preload_name);
    if (first < name_length || strncmp(value + first - name_length, capture::preload_name, name_length) != 0)
        return nullptr;
    const char *rest = value + first + strspn(value + first, ": ");
    int count = 0;
    while (env[count])
        ++count;
    char **copy = static_cast<char **>(malloc((count + 1) * sizeof *copy));
    if (!copy)
        return nullptr;
    char *kept_entry = nullptr;
    if (*rest && asprintf(&kept_entry, "%s=%s", preload_var, rest) < 0)
        kept_entry = nullptr;
    int out = 0;
    for (int i = 0; i < count; ++i) {
        if (!sets(env[i], preload_var)) {
            copy[out++] = env[i];
        } else if (kept_entry) {
            // Only once: an environment may name LD_PRELOAD twice, and the
            // copy's entry is freed once.
            copy[out++] = kept_entry;
            kept_entry = nullptr;
        }
    }
    copy[out] = nullptr;
    return copy;
}

/// Frees a copy made by without_library (the LD_PRELOAD entry it made, if any, with it).
void free_environment(char **copy)
{
    if (!copy)
        return;
    for (char **entry = copy; *entry; ++entry)
        if (sets(*entry, preload_var))
            free(*entry);
    free(copy);
}

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

/// Prints the data base to stdout between the banner lines that `make -p` prints around it.
void print_database(const Printer (&printers)[printer_count], void (*strcache_stats)(const char *))
{
    // A full buffer spares a write per line.
    bool line_buffered = __flbf(stdout);
    if (line_buffered)
        setvbuf(stdout, nullptr, _IOFBF, 0);

    time_t now = time(nullptr);
    printf(dgettext("make", "\n# Make data base, printed on %s"), ctime(&now));
    for (Printer print : printers)
        print();
    if (strcache_stats)
        strcache_stats("#");
    now = time(nullptr);
    printf(dgettext("make", "\n# Finished Make data base on %s\n"), ctime(&now));

    fflush(stdout);
    if (line_buffered)
        setvbuf(stdout, nullptr, _IOLBF, 0);
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
    using Spawn = int (*)(pid_t *, const char *, const posix_spawn_file_actions_t *, const posix_spawnattr_t *,
                          char *const[], char *const[]);
    static Spawn real_spawn = next_definition<Spawn>("posix_spawn");
    char **child_env = without_library(envp);
    int result = real_spawn(pid, path, actions, attributes, argv, child_env ? child_env : envp);
    // Only a recipe's processes get TRACEMAKE_TARGET: make's $(shell) runs
    // with make's own environment, from which the shim took it out.
    const char *target = find_env(envp, capture::target_variable);
    if (result == 0 && target && proc_dir)
        log_command(target, argv);
    free_environment(child_env);
    return result;
}

int execvp(const char *file, char *const argv[])
{
    using Exec = int (*)(const char *, char *const[]);
    static Exec real_execvp = next_definition<Exec>("execvp");
    // make calls execvp only to re-execute itself, with argv[0]: the shim.
    const char *slash = strrchr(file, '/');
    if (proc_dir && real_make && *real_make && strcmp(slash ? slash + 1 : file, "make") == 0) {
        first_status_write(proc_dir);
        return real_execvp(real_make, argv);
    }
    return real_execvp(file, argv);
}

void exit(int status)
{
    using Exit = void (*)(int);
    static bool written;
    if (proc_dir && !written && getpid() == make_pid) {
        written = true;
        write_database();
        first_status_write(proc_dir);
    }
    next_definition<Exit>("exit")(status);
    _exit(status);
}

} // extern "C"
