// Where the CGI programs' diagnostics go: the web server's error log, never its client.
#ifndef TRAXEL_ERRLOG_H
#define TRAXEL_ERRLOG_H

// Points standard error at /dev/null when the web server handed this program
// one pipe or socket as both standard output and standard error (mini_httpd
// does): what this program and the shells it runs say on standard error would
// otherwise reach the client inside the response. A server that gives
// standard error a log of its own (Apache, lighttpd, fcgiwrap), and a
// terminal, keep it.
void keep_errors_from_client();

#endif
