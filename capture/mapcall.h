// One-line summaries of Sun RPC calls addressed to the portmapper.
#ifndef TRAXEL_MAPCALL_H
#define TRAXEL_MAPCALL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Prints the summary of the RPC call message bp (length bytes) carried in the
// IP packet whose header starts at ip; the caller ends the line. Reads no byte
// at or past snapend: a short capture prints a truncation marker.
void sunrpcrequest_print(const uint8_t *bp, uint32_t length, const uint8_t *ip);

#ifdef __cplusplus
}
#endif

#endif
