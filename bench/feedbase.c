/* Start-up baseline for the feed: the same system calls up to the pipe open, in minimal C. */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* Stands for the feed's signal handler; never reached in a measurement. */
static void cleanup(int sig)
{
    (void)sig;
    _exit(1);
}

/* Scans the configuration as the feed does for a port graph: the window, then
   records of five tokens until the one named name. 0 when found. */
static int read_cfg(const char *name)
{
    FILE *f = fopen("../../traxel.cfg", "r");
    if (f == NULL)
        return 1;
    int win = 0, port, min, max, thres;
    char rec[200];
    int found = 1;
    if (fscanf(f, "window %d", &win) == 1)
        while (fscanf(f, "%199s %d %d %d %d", rec, &port, &min, &max, &thres) == 5)
            if (strcmp(rec, name) == 0) {
                found = 0;
                break;
            }
    if (fclose(f) != 0)
        return 1;
    return found;
}

int main(int argc, char **argv)
{
    const char *name = argc > 0 ? argv[0] : "";
    char path[64], cmd[64];
    if (setvbuf(stdout, NULL, _IONBF, 0) != 0)
        return 1;
    printf("Content-type: text/html%c%c", '\n', '\n');
    const char *method = getenv("REQUEST_METHOD");
    const char *qs = getenv("QUERY_STRING");
    if (method == NULL || strcmp(method, "GET") != 0 || qs == NULL || strlen(name) > 12)
        return 1;
    int k = 0;
    if (sscanf(qs, "dhle,60,%ds", &k) != 1)
        k = 0;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = cleanup;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGINT, &sa, NULL) != 0 || sigaction(SIGTERM, &sa, NULL) != 0)
        return 1;
    printf("MISS-%d--pid-%d\n", k, (int)getpid());
    if (read_cfg(name) != 0)
        return 1;
    snprintf(path, sizeof path, "/tmp/%s.pid", name);
    FILE *old = fopen(path, "r");
    if (old != NULL && fclose(old) != 0)
        return 1;
    /* The feed removes the old pid file through the shell; so does the baseline,
       unless its first argument is "unlink", which shows what the shell costs. */
    if (argc > 1 && strcmp(argv[1], "unlink") == 0) {
        if (unlink(path) != 0 && errno != ENOENT)
            return 1;
    } else {
        snprintf(cmd, sizeof cmd, "rm /tmp/%s.pid", name);
        if (system(cmd) == -1)
            return 1;
    }
    FILE *pf = fopen(path, "w+");
    printf("new-pid-%d\n", (int)getpid());
    if (pf != NULL && (fprintf(pf, "%d\n", (int)getpid()) < 0 || fclose(pf) != 0))
        return 1;
    snprintf(path, sizeof path, "./%s.fifo", name);
    FILE *fifo = fopen(path, "r");
    if (fifo == NULL)
        return 1;
    char line[50];
    while (fgets(line, sizeof line, fifo) != NULL) {
    }
    return 0;
}
