// A test helper that stands for a make which starts its programs with vfork
// and exec: the stock make with spawn_by_vfork preloaded first.  Given to
// `tracemake record --make`.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

int main(int, char *argv[])
{
    const char *preload = getenv("LD_PRELOAD");
    const std::string value = std::string(SPAWN_BY_VFORK) + (preload && *preload ? ":" + std::string(preload) : "");
    setenv("LD_PRELOAD", value.c_str(), 1);
    execv("/usr/bin/make", argv);
    perror("/usr/bin/make");
    return 127;
}
