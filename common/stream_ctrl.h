// Stream start/stop, image sizes and the mapping of register writes onto the
// operations of the ToF and colour sensor drivers.
#ifndef KORVID_COMMON_STREAM_CTRL_H
#define KORVID_COMMON_STREAM_CTRL_H

#include "common/common.h"

// 1 starts the capture stream, any other value stops it. Returns 0.
int  Custom_StartOrStopStream(uint32 value);
// Recomputes the ToF and colour width/heigth registers; the Init form is
// used once at start.
void Custom_AdaptWidthHeigth(void);
void Custom_AdaptWidthHeigthInit(void);
// The sensor operation behind a register write of the colour or ToF page,
// on the colour (10001) or ToF (10000) sensor device; nothing when the
// device or operation is missing. Registers outside the two pages have
// their sensor effect in Custom_RegWrite.
int  Custom_RgbControl(uint32 address, uint32* value);
int  Custom_TofControl(uint32 address, uint32* value);

// Reads the ToF sensor's horizontal (0x1000203C) or vertical (0x10002040)
// flip back from the driver.
int  Custom_getTofStatus(uint32 address, uint32* value);

// Start-up with workMode set: the capture workers a host's start creates,
// and the stream on, without counting a start.
void stream_ctrl_start_at_boot(epcore_t* core);

// Creates worker `id` with `fn` again for a capture task that restarted
// itself: serialised with stream start and stop, and only while the stream
// is on and the core is not stopping, so a close under way is never undone.
// 1 created, 0 not.
int stream_ctrl_restart_worker(epcore_t* core, uint64_t id, void* (*fn)(void*));

// The stream start count (starts, capped by the host limit), and a reset of
// the count and of the frequency list for a fresh event core.
uint32 stream_start_count(void);

// A stream stop asked by a thread that must not wait (an event pump, the
// control channel): `write` (the register-write callback; null for
// Custom_RegWrite) is called here with acquisitionStartStop := 0, counted
// at once, and the close runs on the closer thread.
typedef int (*RegWriteFunc)(uint32 address, uint32* value);
void stream_ctrl_stop_handoff(RegWriteFunc write);
// A host's write of acquisitionStartStop, from the control channel, which
// answers it before a host gives up: written here through `write`, so it
// reads back and is saved as written and counts at once, while the open or
// close it asks for runs on the closer thread. A stop that closes returns
// once the sender has ended the block it is sending, and nothing of the
// stream goes out after it. The write's result.
int stream_ctrl_host_start_stop(RegWriteFunc write, uint32 value);
// For the register write of a start or stop: 1 while this thread's request
// is being handed to the closer thread, which must not wait here.
int  stream_ctrl_handing_over(void);
// A start handed over opens the stream no sooner than `ms` from now.
void stream_ctrl_hold_open(uint32 ms);
// Waits, bounded, until the stream has reached the latest start or stop.
// Nothing on the closer thread itself.
void stream_ctrl_settle(void);
void   stream_ctrl_reset(void);

// Tests: `hook` runs just before a stream start creates each capture worker
// (null: none), so a test can hold one back as a slow board would.
void stream_ctrl_set_create_hook(void (*hook)(epcore_t* core, uint64_t id));
// Tests: `hook` runs as each open (1) or close (0) begins, on the thread
// doing it, so a test can make either as slow as a loaded board's.
void stream_ctrl_set_change_hook(void (*hook)(epcore_t* core, int opening));

#endif
