/* A stand-in for pkexec, for tests that run as an unprivileged user. The test
 * installs it setuid root; it records how it was called beside itself (args,
 * caller.uid, pid) and, as the file "mode" beside it says, either ends with
 * that exit code (a refusal) or does what the real pkexec does once a request
 * is authorised: a program named without a "/" is looked up on the caller's
 * PATH (the caller's current folder included, as "." or an empty entry), the
 * environment is cleared to pkexec's own, the working folder is root's home,
 * and the program runs as uid 0 with PKEXEC_UID naming the caller. While a
 * file "hold" lies beside it, it first waits, as the real one does while its
 * password dialog is open: it writes its process id to "held" and runs the
 * program once "hold" is gone. Each program it runs appends its process id to
 * "started". */
#define _GNU_SOURCE
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

static char folder[PATH_MAX];

static FILE* record(const char* name, const char* mode)
{
    char path[PATH_MAX + 32];
    snprintf(path, sizeof path, "%s/%s", folder, name);
    return fopen(path, mode);
}

/* The caller's lookup, as execvp does it. */
static int lookUp(const char* program, const char* path, char* out, size_t size)
{
    if (strchr(program, '/')) {
        snprintf(out, size, "%s", program);
        return access(out, X_OK) == 0;
    }
    if (!path)
        return 0;
    const char* p = path;
    for (;;) {
        const char* end = strchr(p, ':');
        const size_t n = end ? (size_t)(end - p) : strlen(p);
        if (n == 0)
            snprintf(out, size, "%s", program);
        else
            snprintf(out, size, "%.*s/%s", (int)n, p, program);
        if (access(out, X_OK) == 0)
            return 1;
        if (!end)
            return 0;
        p = end + 1;
    }
}

/* While "hold" exists: "held" names this process, and every change of the
 * folder wakes it to look again. */
static int waitWhileHeld(void)
{
    char hold[PATH_MAX + 32];
    snprintf(hold, sizeof hold, "%s/hold", folder);
    const int watch = inotify_init1(IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, folder, IN_DELETE | IN_MOVED_FROM) < 0)
        return 0;
    if (access(hold, F_OK) == 0) {
        FILE* f = record("held.part", "w");
        if (!f)
            return 0;
        fprintf(f, "%d\n", (int)getpid());
        fclose(f);
        char from[PATH_MAX + 32], to[PATH_MAX + 32];
        snprintf(from, sizeof from, "%s/held.part", folder);
        snprintf(to, sizeof to, "%s/held", folder);
        if (rename(from, to) != 0)
            return 0;
    }
    char events[4096];
    while (access(hold, F_OK) == 0) {
        if (read(watch, events, sizeof events) < 0)
            return 0;
    }
    close(watch);
    return 1;
}

int main(int argc, char* argv[])
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return 127;
    self[n] = '\0';
    snprintf(folder, sizeof folder, "%s", self);
    *strrchr(folder, '/') = '\0';

    const uid_t caller = getuid();
    FILE* f = record("caller.uid", "w");
    if (f) {
        fprintf(f, "%u\n", (unsigned)caller);
        fclose(f);
    }
    f = record("args", "w");
    if (f) {
        for (int i = 1; i < argc; ++i)
            fwrite(argv[i], 1, strlen(argv[i]) + 1, f);
        fclose(f);
    }
    char mode[32] = "";
    f = record("mode", "r");
    if (f) {
        if (!fgets(mode, sizeof mode, f))
            mode[0] = '\0';
        fclose(f);
    }
    mode[strcspn(mode, "\n")] = '\0';
    if (strcmp(mode, "run") != 0)
        return mode[0] ? atoi(mode) : 127;
    if (argc < 2)
        return 127;
    if (!waitWhileHeld())
        return 127;

    char program[PATH_MAX + 256];
    if (!lookUp(argv[1], getenv("PATH"), program, sizeof program))
        return 127;
    const struct passwd* root = getpwuid(0);
    if (!root || setgroups(0, NULL) != 0 || setresgid(0, 0, 0) != 0 || setresuid(0, 0, 0) != 0)
        return 127;
    if (chdir(root->pw_dir) != 0)
        return 127;
    f = record("pid", "w");
    if (f) {
        fprintf(f, "%d\n", (int)getpid());
        fclose(f);
    }
    f = record("started", "a");
    if (f) {
        fprintf(f, "%d\n", (int)getpid());
        fclose(f);
    }

    char uid[32];
    snprintf(uid, sizeof uid, "%u", (unsigned)caller);
    clearenv();
    setenv("PKEXEC_UID", uid, 1);
    setenv("PATH", "/usr/sbin:/usr/bin:/sbin:/bin", 1);
    setenv("HOME", root->pw_dir, 1);
    setenv("USER", root->pw_name, 1);
    setenv("LOGNAME", root->pw_name, 1);
    setenv("SHELL", root->pw_shell, 1);
    execv(program, argv + 1);
    return 127;
}
