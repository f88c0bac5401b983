// Giving up root and every capability once the daemon holds all it needs open.
#include "privs.h"

#include <grp.h>
#include <pwd.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "report.h"
#include "settings.h"

namespace {

// The name of capability c, e.g. "cap_net_raw".
std::string cap_word(cap_value_t c)
{
    char *name = cap_to_name(c);
    std::string out = name ? name : std::to_string(c);
    cap_free(name);
    return out;
}

// Empties the bounding set (needs CAP_SETPCAP, so only a root start can) and
// the ambient set (always allowed).
bool drop_bounding_and_ambient(bool root, std::string &err)
{
    if (root)
        for (cap_value_t c = 0; cap_get_bound(c) >= 0; ++c)
            if (cap_get_bound(c) == 1 && cap_drop_bound(c) != 0) {
                err = sys_fault("cap_drop_bound", cap_word(c));
                return false;
            }
    // A kernel without ambient capabilities has none to clear.
    if (CAP_AMBIENT_SUPPORTED() && cap_reset_ambient() != 0) {
        err = sys_fault("cap_reset_ambient");
        return false;
    }
    return true;
}

// Empties the effective, permitted and inheritable sets.
bool clear_capabilities(std::string &err)
{
    cap_t none = cap_init();
    if (!none) {
        err = sys_fault("cap_init");
        return false;
    }
    int rc = cap_set_proc(none);
    cap_free(none);
    if (rc != 0) {
        err = sys_fault("cap_set_proc");
        return false;
    }
    return true;
}

// Why the process still holds a privilege it should have given up, or "".
std::string left_over(const run_user &who)
{
    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    if (getresuid(&ru, &eu, &su) != 0)
        return sys_fault("getresuid");
    if (getresgid(&rg, &eg, &sg) != 0)
        return sys_fault("getresgid");
    if (who.from_root && (ru != who.uid || eu != who.uid || su != who.uid || setuid(0) == 0))
        return "still root after setresuid";
    if (who.from_root && (rg != who.gid || eg != who.gid || sg != who.gid || getgroups(0, nullptr) != 0))
        return "groups other than " + std::to_string(who.gid) + " left";
    cap_t now = cap_get_proc(), none = cap_init();
    int diff = now && none ? cap_compare(now, none) : -1;
    cap_free(now);
    cap_free(none);
    if (diff != 0)
        return "capabilities left after cap_set_proc";
    for (cap_value_t c = 0; cap_get_bound(c) >= 0; ++c)
        if (cap_get_ambient(c) == 1 || (who.from_root && cap_get_bound(c) == 1))
            return "capability " + cap_word(c) + " left in the ambient or bounding set";
    if (prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1)
        return "no-new-privileges not set";
    return "";
}

}  // namespace

bool resolve_user(const std::string &name, run_user &who, std::string &err)
{
    if (geteuid() != 0) {
        who = {"", geteuid(), getegid(), false};
        return true;
    }
    errno = 0;
    const struct passwd *pw = getpwnam(name.c_str());
    if (!pw) {
        err = "getpwnam " + name + ": " + (errno ? std::strerror(errno) : "no such user");
        return false;
    }
    if (const std::string why = root_fault(*pw); !why.empty()) {
        err = "user " + name + " " + why + "; the daemon runs as an unprivileged user";
        return false;
    }
    who = {name, pw->pw_uid, pw->pw_gid, true};
    return true;
}

bool drop_privileges(const run_user &who, std::string &err)
{
    // The order matters: the bounding set only while CAP_SETPCAP is held, the
    // groups before the user id that permits changing them.
    if (!drop_bounding_and_ambient(who.from_root, err))
        return false;
    if (who.from_root) {
        if (setgroups(0, nullptr) != 0) {
            err = sys_fault("setgroups");
            return false;
        }
        if (setresgid(who.gid, who.gid, who.gid) != 0) {
            err = sys_fault("setresgid", std::to_string(who.gid));
            return false;
        }
        if (setresuid(who.uid, who.uid, who.uid) != 0) {
            err = sys_fault("setresuid", who.name);
            return false;
        }
    }
    if (!clear_capabilities(err))
        return false;
    // No execve can give privileges back, and no process of the same user
    // can trace the daemon into its capture socket.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        err = sys_fault("prctl", "PR_SET_NO_NEW_PRIVS");
        return false;
    }
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
        err = sys_fault("prctl", "PR_SET_DUMPABLE");
        return false;
    }
    err = left_over(who);
    return err.empty();
}
