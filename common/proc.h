// What /proc shows of another process.
#ifndef TRAXEL_PROC_H
#define TRAXEL_PROC_H

#include <sys/types.h>

#include <string>

// The command name of process pid (the last component of the program file it
// ran, at most 15 bytes), without its newline; "" when it cannot be read.
std::string process_name(pid_t pid);

#endif
