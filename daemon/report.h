// The daemon's diagnostics for the admin: standard error before it detaches, the system log after.
#ifndef TRAXEL_REPORT_H
#define TRAXEL_REPORT_H

#include <string>

// Writes "traxel: msg" as one line to standard error, or to the system log
// (facility daemon) once report_to_syslog has been called; a msg of several
// lines (joined by newlines) gives one such line each.
void report(const std::string &msg);

// The diagnostic of the system call that just failed, by errno: "CALL OBJECT:
// reason", or "CALL: reason" when object is empty.
std::string sys_fault(const std::string &call, const std::string &object = "");

// Sends later reports to the system log; called when the daemon detaches.
void report_to_syslog();

#endif
