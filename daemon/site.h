// The site's choices for its installation: the optional file site.cfg beside traxel.cfg.
#ifndef TRAXEL_SITE_H
#define TRAXEL_SITE_H

#include <string>

// The site file, in the installation directory.
inline constexpr char site_file[] = "site.cfg";

// The web server's password file, relative to the installation directory:
// with it the web server asks a password for every program of the CGI
// directory (the launcher, the feeds), and for nothing else.
inline constexpr char password_file[] = "httpd/cgi-bin/.htpasswd";

// The unprivileged user that the installation falls back on: the web
// server's user, and so the daemon's, unless site.cfg names another.
inline constexpr char default_user[] = "nobody";

struct site {
    std::string listen = "127.0.0.1";  // the web server's address
    int port = 8080;
    std::string web_user = default_user;  // whom the web server runs its CGI programs as
    bool boot = true;                  // systemd units installed and enabled where systemd runs
};

// Reads the site file at path into s; no file at path leaves the defaults.
// A listen address that is not a loopback one (127.0.0.0/8, ::1) is refused
// while password_file is missing. On faults returns false with one line for
// each in err, "site.cfg:LINE: what" (joined by newlines; "site.cfg: reason"
// when the file cannot be read), and s unchanged.
bool load_site(const char *path, site &s, std::string &err);

#endif
