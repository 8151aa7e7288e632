// The message table on POSIX builds.
//
// On Windows the table is resource 11/1 of TAVELOCAM.dll and FormatMessageA
// finds it there. A shared object has no resources, so the POSIX build embeds
// the same bytes (generated from messages.txt) and hands them out through
// tavelort_message_table, the name the platform runtime's FormatMessageA looks
// up in the module it is given (TAVELORT_MESSAGE_TABLE_SYMBOL in
// tavelo/tavelort.h).
//
// It is the one export of libtavelocam.so that is not a Tavelo function; the
// version script (tavelocam.map) lets it through. TAVELOCAM.dll does not carry
// it: its exports are exactly the 62 functions.
#ifndef TAVELO_RESOURCES_MESSAGE_TABLE_H
#define TAVELO_RESOURCES_MESSAGE_TABLE_H

#include "tavelocam.h"

#include <stddef.h>

// Returns the table and stores its size in bytes in *size (unless size is
// null). The bytes are static, aligned to four, and never change.
extern "C" TAVELOCAM_EXPORT const unsigned char *tavelort_message_table(size_t *size);

#endif // TAVELO_RESOURCES_MESSAGE_TABLE_H
