// Running commands through the system shell for the CGI programs.
#ifndef TRAXEL_SHELL_H
#define TRAXEL_SHELL_H

// Runs cmd through the system shell; true when a shell ran it, whatever its
// status. Otherwise reports "<prog>: system <cmd>: <reason>" on stderr,
// which a web server keeps in its error log, and returns false.
bool run_shell(const char *prog, const char *cmd);

#endif
