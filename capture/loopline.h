// Printer for frames of the null link layer (loopback capture).
#ifndef TRAXEL_LOOPLINE_H
#define TRAXEL_LOOPLINE_H

#include <stdint.h>

#include "hostops.h"

#ifdef __cplusplus
extern "C" {
#endif

// Prints one frame: time stamp, optional family label, the IP packet, an
// optional raw dump and a newline. user is the core's callback argument.
void null_if_print(uint8_t *user, const struct cap_header *h, const uint8_t *p);

#ifdef __cplusplus
}
#endif

#endif
