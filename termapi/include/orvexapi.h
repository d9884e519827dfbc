/* orvexapi: a plain C interface to the terminal network. Every call is forwarded to the
 * network's server object; its events come back through the ten callbacks given to New.
 *
 * Threads: a handle belongs to the thread that called New. Call every export for it on that
 * thread; the callbacks run there too. The library takes no locks.
 *
 * Strings: NUL-terminated single-byte strings. Each byte goes to the server as the UTF-16 unit
 * of the same value; each unit coming back is reduced to its low byte. A string handed to a
 * callback lives only for the duration of the callback; the ConfigGet text lives until the next
 * ConfigGet on the same handle or Delete. Integers are 32-bit; results are the server's
 * HRESULTs (0 = success), passed on uninterpreted. */
#ifndef ORVEXAPI_H
#define ORVEXAPI_H

#include <stdint.h>

#if defined(__GNUC__)
#define ORVEXAPI __attribute__((visibility("default")))
#else
#define ORVEXAPI
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TerminalHandle TerminalHandle;

/* The callbacks, in the order New takes them; the first argument is always New's user data. */
typedef void (*OrvexOnLinkState)(void* userData, int32_t state, const char* text);
typedef void (*OrvexOnMessageResult)(void* userData, int32_t reference, int32_t errorFlag,
                                     const char* text);
typedef void (*OrvexOnEvent3)(void* userData, int32_t i1, int32_t i2, int32_t i3, int32_t i4,
                              int32_t i5, int32_t i6, int32_t i7, const char* s8, const char* s9,
                              int32_t i10, int32_t i11, int32_t i12);
typedef void (*OrvexOnEvent4)(void* userData, int32_t i1, int32_t i2, int32_t i3, int32_t i4,
                              int32_t i5, int32_t i6, int32_t i7, const char* s8, int32_t i9,
                              const char* s10, const char* s11);
typedef void (*OrvexOnEvent5)(void* userData, int32_t i1, int32_t i2, int32_t i3, int32_t i4,
                              int32_t i5, int32_t i6, int32_t i7, const char* s8);
typedef void (*OrvexOnEvent6)(void* userData, int32_t i1, int32_t i2, int32_t i3,
                              const char* s4);
typedef void (*OrvexOnEvent7)(void* userData, int32_t i1, int32_t i2, int32_t i3, int32_t i4,
                              int32_t i5, int32_t i6, int32_t i7, int32_t i8, const char* s9);
typedef void (*OrvexOnEvent8)(void* userData, int32_t i1, int32_t i2, int32_t i3, int32_t i4,
                              int32_t i5, int32_t i6, int32_t i7, int32_t i8);
typedef void (*OrvexOnEvent9)(void* userData, int32_t i1, int32_t i2, int32_t i3, int32_t i4,
                              int32_t i5, int32_t i6, int32_t i7, const char* s8);
typedef void (*OrvexOnEvent10)(void* userData, int32_t i1, int32_t i2, int32_t i3, int32_t i4,
                               int32_t i5, int32_t i6, int32_t i7, const char* s8,
                               const char* s9);

/* A new handle with its event sink attached, or 0 when the server object or its connection
 * point is not available (no provider named by ORVEXNET_SERVER, or the provider refused).
 * Any callback may be null: its events are acknowledged and dropped. */
ORVEXAPI TerminalHandle* New(void* userData, OrvexOnLinkState onLinkState,
                             OrvexOnMessageResult onMessageResult, OrvexOnEvent3 onEvent3,
                             OrvexOnEvent4 onEvent4, OrvexOnEvent5 onEvent5,
                             OrvexOnEvent6 onEvent6, OrvexOnEvent7 onEvent7,
                             OrvexOnEvent8 onEvent8, OrvexOnEvent9 onEvent9,
                             OrvexOnEvent10 onEvent10);
/* Detaches the sink, releases the server and frees the handle. Returns what the final release
 * of the server returns (the references left), or the error of the connection-point query. */
ORVEXAPI int32_t Delete(TerminalHandle* handle);

ORVEXAPI int32_t Host(TerminalHandle* handle, const char* s1, const char* s2, const char* s3,
                      int32_t i4, int32_t i5);
ORVEXAPI int32_t SendJob(TerminalHandle* handle, int32_t i1, int32_t i2, const char* s3,
                         int32_t i4, int32_t i5, int32_t i6, int32_t i7, int32_t i8,
                         const char* s9, const char* s10);
ORVEXAPI int32_t SendJob2(TerminalHandle* handle, int32_t i1, int32_t i2, const char* s3,
                          int32_t i4, int32_t i5, int32_t i6, int32_t i7, int32_t i8, int32_t i9,
                          int32_t i10, int32_t i11, int32_t i12, const char* s13,
                          const char* s14);
ORVEXAPI int32_t SendRevokeJob(TerminalHandle* handle, int32_t i1, int32_t i2, const char* s3);
ORVEXAPI int32_t SendTextMessage(TerminalHandle* handle, int32_t reference, int32_t terminal,
                                 const char* text);
ORVEXAPI int32_t PollTerminal(TerminalHandle* handle, int32_t i1, int32_t i2);
ORVEXAPI int32_t SendRaw(TerminalHandle* handle, int32_t i1, int32_t i2, const char* s3);
ORVEXAPI int32_t SendConfig(TerminalHandle* handle, int32_t i1, int32_t i2);
ORVEXAPI int32_t SendQuestion(TerminalHandle* handle, int32_t i1, int32_t i2, const char* s3,
                              const char* s4, const char* s5, const char* s6, const char* s7,
                              const char* s8);
/* The integer the server returns through its out parameter (0 when it sets none). */
ORVEXAPI int32_t GetTerminalEvent(TerminalHandle* handle, int32_t i1, int32_t i2, int32_t i3,
                                  int32_t i4, int32_t i5, int32_t i6, int32_t i7, int32_t i8);
ORVEXAPI int32_t SendCustom(TerminalHandle* handle, int32_t i1, int32_t i2, const char* s3,
                            const char* s4);
/* The value text for key, kept in the handle: valid until the next ConfigGet on this handle
 * or Delete. Empty when the server returns no value. */
ORVEXAPI const char* ConfigGet(TerminalHandle* handle, const char* key);
ORVEXAPI int32_t ConfigSet(TerminalHandle* handle, const char* key, const char* value);

#ifdef __cplusplus
}
#endif

#endif /* ORVEXAPI_H */
