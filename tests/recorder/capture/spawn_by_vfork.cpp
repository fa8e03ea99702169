// A test helper preloaded into make 4.3 ahead of the recorder's library: it
// makes make start every program the way make before 4.3 does, with vfork
// and, in the child, execvp after setting `environ` to the child's
// environment.  Of posix_spawn's file actions it carries out the dup2s
// (make's $(shell) pipe, stdin of parallel jobs), which it notes as make
// adds them: make fills one list of actions at a time.
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <unistd.h>

extern char **environ;

namespace {

struct Dup {
    int fd, newfd;
};
Dup *dups;
size_t dup_count, dup_room;

template <typename Function> Function next_definition(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

int posix_spawn_file_actions_init(posix_spawn_file_actions_t *actions)
{
    dup_count = 0;
    return next_definition<int (*)(posix_spawn_file_actions_t *)>("posix_spawn_file_actions_init")(actions);
}

int posix_spawn_file_actions_adddup2(posix_spawn_file_actions_t *actions, int fd, int newfd)
{
    if (dup_count == dup_room) {
        const size_t room = dup_room ? 2 * dup_room : 8;
        Dup *grown = static_cast<Dup *>(realloc(dups, room * sizeof *dups));
        if (!grown)
            return ENOMEM;
        dups = grown;
        dup_room = room;
    }
    dups[dup_count++] = {fd, newfd};
    return next_definition<int (*)(posix_spawn_file_actions_t *, int, int)>("posix_spawn_file_actions_adddup2")(
        actions, fd, newfd);
}

int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
                const posix_spawnattr_t *attributes, char *const argv[], char *const envp[])
{
    short flags = 0;
    sigset_t mask;
    sigemptyset(&mask);
    if (attributes) {
        posix_spawnattr_getflags(attributes, &flags);
        posix_spawnattr_getsigmask(attributes, &mask);
    }
    const size_t dup_total = actions ? dup_count : 0;
    char **parent_environ = environ;
    const pid_t child = vfork();
    if (child == 0) {
        for (size_t i = 0; i < dup_total; ++i)
            if (dup2(dups[i].fd, dups[i].newfd) < 0)
                _exit(127);
        if (flags & POSIX_SPAWN_SETSIGMASK)
            sigprocmask(SIG_SETMASK, &mask, nullptr);
        environ = const_cast<char **>(envp);
        execvp(path, argv);
        _exit(127);
    }
    environ = parent_environ;
    if (child < 0)
        return errno;
    *pid = child;
    return 0;
}

} // extern "C"
