// Where the CGI programs' diagnostics go: the web server's error log, never its client.
#include "errlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void keep_errors_from_client()
{
    struct stat out {}, err {};
    if (fstat(1, &out) != 0 || fstat(2, &err) != 0)
        return;
    const bool stream = S_ISFIFO(out.st_mode) || S_ISSOCK(out.st_mode);
    if (!stream || out.st_dev != err.st_dev || out.st_ino != err.st_ino)
        return;
    // Nothing can be said of a failure here: the only error stream is the client.
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0)
        return;
    dup2(null, 2);
    close(null);
}
