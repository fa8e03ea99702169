#include "capture/make_start.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "capture/capture_env.h"

using capture::find_env;
using capture::sets;

namespace make_start {

namespace {

/// A new "NAME=VALUE" entry, VALUE being `value` and `more` joined by
/// `separator` when both are there; null when there is no memory.
char *entry_of(const char *name, const char *value, const char *separator = "", const char *more = "")
{
    const char *between = *value && *more ? separator : "";
    const int length = snprintf(nullptr, 0, "%s=%s%s%s", name, value, between, more);
    char *entry = length < 0 ? nullptr : static_cast<char *>(malloc(static_cast<size_t>(length) + 1));
    if (entry)
        snprintf(entry, static_cast<size_t>(length) + 1, "%s=%s%s%s", name, value, between, more);
    return entry;
}

/// The entries that environment() adds to what the make inherits.
constexpr size_t own_entries = 3;

} // namespace

const char *shown_argv0(char *const argv[], const char *shim, char *const env[])
{
    if (!argv[0])
        return "make";
    const char *typed = find_env(env, capture::env_argv0);
    return shim && strcmp(argv[0], shim) == 0 && typed ? typed : argv[0];
}

char *command_line(char *const argv[], const char *shown)
{
    size_t length = strlen(shown) + 1;
    for (size_t i = 1; argv[0] && argv[i]; ++i)
        length += strlen(argv[i]) + 1;
    char *line = static_cast<char *>(malloc(length));
    if (!line)
        return nullptr;
    char *out = stpcpy(line, shown);
    for (size_t i = 1; argv[0] && argv[i]; ++i)
        out = stpcpy(stpcpy(out, " "), argv[i]);
    return line;
}

const char **arguments(char *const argv[], const char *shown, const char *shim, char *const env[])
{
    size_t argc = 0;
    while (argv[argc])
        ++argc;
    const char **make_argv = static_cast<const char **>(malloc((argc + 3) * sizeof *make_argv));
    if (!make_argv)
        return nullptr;
    size_t out = 0;
    make_argv[out++] = strchr(shown, '/') ? shim : shown;
    const char *flags = find_env(env, "MAKEFLAGS");
    if (!flags || !strstr(flags, capture::target_variable))
        make_argv[out++] = capture::target_eval;
    for (size_t i = 1; i < argc; ++i)
        make_argv[out++] = argv[i];
    make_argv[out] = nullptr;
    return make_argv;
}

char **environment(char *const env[], const char *id, const char *library)
{
    const char *depth = find_env(env, capture::env_depth);
    const char *user_preload = find_env(env, "LD_PRELOAD");
    char deeper[16];
    snprintf(deeper, sizeof deeper, "%d", (depth ? atoi(depth) : 0) + 1);
    char *own[own_entries] = {entry_of(capture::env_proc, id), entry_of(capture::env_depth, deeper),
                              entry_of("LD_PRELOAD", library, ":", user_preload ? user_preload : "")};
    size_t count = 0;
    while (env[count])
        ++count;
    char **copy = static_cast<char **>(malloc((count + own_entries + 1) * sizeof *copy));
    if (!copy || !own[0] || !own[1] || !own[2]) {
        for (char *entry : own)
            free(entry);
        free(copy);
        return nullptr;
    }
    size_t out = 0;
    for (size_t i = 0; i < count; ++i)
        if (!sets(env[i], capture::env_proc) && !sets(env[i], capture::env_depth) &&
            !sets(env[i], capture::target_variable) && !sets(env[i], "LD_PRELOAD"))
            copy[out++] = env[i];
    for (char *entry : own)
        copy[out++] = entry;
    copy[out] = nullptr;
    return copy;
}

void free_environment(char **env)
{
    size_t count = 0;
    while (env[count])
        ++count;
    for (size_t i = count - own_entries; i < count; ++i)
        free(env[i]);
    free(env);
}

bool digests_missing(const char *folder, char *path, size_t size)
{
    const size_t length = strlen(folder);
    if (length + sizeof "/digests.tsv" > size)
        return false;
    memcpy(path, folder, length);
    memcpy(path + length, "/db.txt", sizeof "/db.txt");
    if (access(path, F_OK) != 0)
        return false;
    memcpy(path + length, "/digests.tsv", sizeof "/digests.tsv");
    return access(path, F_OK) != 0;
}

} // namespace make_start
