// Usage of a CGI program run by hand, outside a web server.
#ifndef TRAXEL_HELP_H
#define TRAXEL_HELP_H

// When the program runs outside a CGI request (no GATEWAY_INTERFACE in the
// environment) with -h or --help as its first argument, prints usage on
// standard output and ends the process with status 0; else returns. Inside
// a request the arguments are the web server's (Apache passes a query
// without '=' as argv[1]) and never change what the program does.
void cgi_help(int argc, char **argv, const char *usage);

#endif
