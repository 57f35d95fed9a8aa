// The device link library's own trace: lines on standard output, flushed one
// by one, printed only while aKorvexDebuggingEnable is set and selected by
// the bits of aKorvexDebuggingLevel.
#ifndef KORVEX_AKORVEXDEBUG_H
#define KORVEX_AKORVEXDEBUG_H

#include <atomic>
#include <cstdint>

// Trace bits of aKorvexDebuggingLevel.
#define aDEBUG_LINK 0x1            // link life cycle and sync
#define aDEBUG_PACKETS 0x2         // packet traffic and heartbeats
#define aDEBUG_SERVER 0x4          // sharing-server failures
#define aDEBUG_MULTICAST 0x8       // multicast sockets
#define aDEBUG_DISCOVERY 0x10      // discovery
#define aDEBUG_ADDRESS 0x40        // module address learning
#define aDEBUG_BEACON_LOCK 0x200   // beacon-interface lock
#define aDEBUG_USB 0x400           // USB transfers

// Atomic so that a caller may switch tracing while link threads run.
extern std::atomic<bool> aKorvexDebuggingEnable;
extern std::atomic<uint32_t> aKorvexDebuggingLevel;

// True when tracing is on and any of bits is selected.
bool aKorvexDebug_Enabled(uint32_t bits);

// printf to standard output and flush, when aKorvexDebug_Enabled(bits).
void aKorvexDebug_Trace(uint32_t bits, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

#endif
