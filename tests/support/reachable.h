// Copies of built programs where every user can run them, for tests that run them as another user.
#ifndef TRAXEL_TEST_REACHABLE_H
#define TRAXEL_TEST_REACHABLE_H

#include <string>

// Copies the program at from to the path to, mode 0755, replacing what is
// there. Throws std::runtime_error naming the call, the file and the reason.
void copy_program(const std::string &from, const std::string &to);

// A directory of its own under /tmp, mode 0755, for copies of programs that
// another user (nobody) must run. The build tree may lie where only its owner
// can enter (a clone in root's home, mode 0700), so such a user can neither
// run a program there nor follow a link into it. The directory goes, with
// everything in it, on destruction.
class reachable_dir {
public:
    reachable_dir();
    ~reachable_dir();
    reachable_dir(const reachable_dir &) = delete;
    reachable_dir &operator=(const reachable_dir &) = delete;

    const std::string &path() const { return path_; }
    // Copies the program at from into the directory as name; returns the
    // copy's path.
    std::string add(const std::string &from, const std::string &name) const;

private:
    std::string path_;
};

#endif
