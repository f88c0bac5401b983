// Giving up root and every capability once the daemon holds all it needs open.
#ifndef TRAXEL_PRIVS_H
#define TRAXEL_PRIVS_H

#include <sys/types.h>

#include <string>

// Whom the daemon runs as once started.
struct run_user {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    bool from_root = false;  // started as root: it becomes this user
};

// The user the daemon runs as: started by root, the user called name with
// its primary group; else the user that started it, which it cannot leave.
// False with err when name is no user, or root_fault names why it may not be.
bool resolve_user(const std::string &name, run_user &who, std::string &err);

// Gives up privileges for good: a root start becomes who (supplementary
// groups cleared), empties every capability set (the bounding set as far as
// the kernel lets it), and sets no-new-privileges and non-dumpable. Then
// checks that all of it holds; false with err naming the step that failed.
bool drop_privileges(const run_user &who, std::string &err);

#endif
