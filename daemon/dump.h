// Dump mode: printing the frames of a capture file of the null link layer.
#ifndef TRAXEL_DUMP_H
#define TRAXEL_DUMP_H

// Prints every frame of the capture file at path with null_if_print, under
// the flags nflag, eflag and xflag. The file is opened first; then the
// process gives up every privilege (root becomes the default user of
// capture.cfg) before it reads the file. Returns the exit status: 0, or 1
// after a diagnostic on standard error when the file cannot be read or is
// not of the null link layer, or a privilege cannot be given up.
int dump_file(const char *path);

#endif
