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

// The stream start count: the requesters that want the stream, each once,
// capped by the host limit. Reset with the frequency list for a fresh core.
uint32 stream_start_count(void);

// Who a start or stop is from. A GigE Vision host holding control, by its
// address (host order) and GVCP source port; or the board: the boot start,
// the UDP and Modbus command paths, a host without control, and every other
// path, all counted as one. Each wants the stream at most once: a second
// start adds nothing, a stop takes its own start away, or, from one with
// none, the board's. With a host limit of 1 the one start counted is
// whoever's, and any stop takes it away.
typedef uint64 StreamRequester;
#define STREAM_BOARD ((StreamRequester)0)
StreamRequester stream_ctrl_host(uint32 addr, uint16 port);

typedef int (*RegWriteFunc)(uint32 address, uint32* value);
// A host's register write of acquisitionStartStop or workMode, from the
// control channel, which answers it before a host gives up: written here
// through `write` (null: Custom_RegWrite), so it reads back and is saved as
// written, and the start or stop it makes counts at once as `who`'s, while
// the open or close runs on the closer thread. A stop that closes returns
// once the sender has ended the block it is sending, and nothing of the
// stream goes out after it. The write's result.
int stream_ctrl_host_write(RegWriteFunc write, StreamRequester who, uint32 address, uint32 value);
// A host that released control or whose heartbeat expired takes its start
// with it; `last`: no host holds control now, and the board's start goes
// too. When that leaves nothing wanting the stream it stops as after the
// host's stop, written through `write` with acquisitionStartStop := 0, its
// close on the closer thread. `wait`: as a host's stop, return once the
// sender has ended its block (not for a thread that must never wait).
void stream_ctrl_host_left(RegWriteFunc write, StreamRequester who, int last, int wait);
// The orderly stop: every start counted goes and the stream stops here.
void stream_ctrl_stop_all(void);
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
