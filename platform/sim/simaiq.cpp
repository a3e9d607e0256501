/* The simulated board's stand-in for the ISP's 3A library: it keeps the
 * instances the device makes, checks that their calls come in the library's
 * order, holds each instance's exposure record, and records every call so
 * tests can read the sequence and the records written. */
#include "simaiq.h"

#include "simcam.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

struct PlatAiqCtx_ {
    enum State { INITIALISED, PREPARED, STARTED, STOPPED } state = INITIALISED;
    std::string         sensor;
    plat_aiq_exp_attr_t attr{};
};

namespace {

struct Library {
    std::mutex                  mu;
    std::condition_variable     cv;
    std::vector<sim_aiq_call_t> calls;
    unsigned long               seq = 0;
    std::map<plat_aiq_ctx_t*, std::unique_ptr<plat_aiq_ctx_t>> ctxs;
    /* Names handed out by bound_sensor; the caller keeps the pointer. */
    std::deque<std::string> names;
};

Library& lib()
{
    static Library l;
    return l;
}

constexpr size_t kCallsMax = 4096;

/* Records one call (mu held) and returns its status. */
int note_locked(Library& l, int kind, int status, const plat_aiq_exp_attr_t* attr, const char* fmt, ...)
{
    sim_aiq_call_t c{};
    c.seq = ++l.seq;
    c.kind = kind;
    c.status = status;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(c.text, sizeof(c.text), fmt, ap);
    va_end(ap);
    if (attr) c.attr = *attr;
    if (l.calls.size() >= kCallsMax) l.calls.erase(l.calls.begin(), l.calls.begin() + kCallsMax / 2);
    l.calls.push_back(c);
    l.cv.notify_all();
    return status;
}

plat_aiq_ctx_t* live_locked(Library& l, plat_aiq_ctx_t* ctx)
{
    return l.ctxs.count(ctx) ? ctx : nullptr;
}

/* What a fresh instance starts from: automatic exposure within the
 * library's limits. */
plat_aiq_exp_attr_t default_attr()
{
    plat_aiq_exp_attr_t a{};
    a.Enable = 1;
    a.AecOpType = PLAT_AIQ_OP_AUTO;
    a.stAuto.SetPoint = 45.0f;
    a.stAuto.TimeMin = 0.0001f;
    a.stAuto.TimeMax = 0.04f;
    a.stAuto.GainMin = 1.0f;
    a.stAuto.GainMax = 64.0f;
    a.stManual.LinearAE.TimeValue = 0.01f;
    a.stManual.LinearAE.GainValue = 1.0f;
    a.stManual.LinearAE.IspDGainValue = 1.0f;
    return a;
}

const char* str(const char* s) { return s ? s : "(null)"; }

bool sensor_known(const char* name)
{
    sim_sensor_state_t st;
    return name && sim_sensor_state(name, &st) == 0 && name[0] != '/';
}

} // namespace

namespace sim {

void aiq_reset(void)
{
    Library& l = lib();
    std::lock_guard<std::mutex> lk(l.mu);
    l.calls.clear();
    l.seq = 0;
    l.ctxs.clear();
    l.names.clear();
}

} // namespace sim

const char* sim_aiq_bound_sensor(const char* video_node)
{
    std::string name;
    sim::Board* b = sim::board();
    sim::Resolved r;
    if (b && video_node && sim::resolve_board(b, video_node, true, &r)) name = sim::isp_sensor_of(r.board);
    Library& l = lib();
    std::lock_guard<std::mutex> lk(l.mu);
    const char* out = nullptr;
    if (!name.empty()) {
        l.names.push_back(name);
        out = l.names.back().c_str();
    }
    note_locked(l, SIM_AIQ_BOUND_SENSOR, out ? 0 : -1, nullptr, "bound_sensor %s", str(video_node));
    return out;
}

int sim_aiq_preinit_scene(const char* sensor, const char* main_scene, const char* sub_scene)
{
    bool ok = sensor_known(sensor) && main_scene && sub_scene;
    Library& l = lib();
    std::lock_guard<std::mutex> lk(l.mu);
    return note_locked(l, SIM_AIQ_PREINIT_SCENE, ok ? 0 : -1, nullptr, "preinit_scene %s %s %s", str(sensor),
                       str(main_scene), str(sub_scene));
}

plat_aiq_ctx_t* sim_aiq_init(const char* sensor, const char* iq_dir)
{
    bool ok = sensor_known(sensor) && iq_dir;
    Library& l = lib();
    std::lock_guard<std::mutex> lk(l.mu);
    plat_aiq_ctx_t* out = nullptr;
    if (ok) {
        auto c = std::make_unique<plat_aiq_ctx_t>();
        c->sensor = sensor;
        c->attr = default_attr();
        out = c.get();
        l.ctxs.emplace(out, std::move(c));
    }
    note_locked(l, SIM_AIQ_INIT, out ? 0 : -1, nullptr, "init %s %s", str(sensor), str(iq_dir));
    return out;
}

int sim_aiq_prepare(plat_aiq_ctx_t* ctx, uint32_t width, uint32_t height, int working_mode)
{
    Library& l = lib();
    std::lock_guard<std::mutex> lk(l.mu);
    plat_aiq_ctx_t* c = live_locked(l, ctx);
    bool ok = c && (c->state == PlatAiqCtx_::INITIALISED || c->state == PlatAiqCtx_::STOPPED) && width && height;
    if (ok) c->state = PlatAiqCtx_::PREPARED;
    return note_locked(l, SIM_AIQ_PREPARE, ok ? 0 : -1, nullptr, "prepare %ux%u %d", width, height, working_mode);
}

int sim_aiq_start(plat_aiq_ctx_t* ctx)
{
    Library& l = lib();
    std::lock_guard<std::mutex> lk(l.mu);
    plat_aiq_ctx_t* c = live_locked(l, ctx);
    bool ok = c && c->state == PlatAiqCtx_::PREPARED;
    if (ok) c->state = PlatAiqCtx_::STARTED;
    return note_locked(l, SIM_AIQ_START, ok ? 0 : -1, nullptr, "start");
}

int sim_aiq_stop(plat_aiq_ctx_t* ctx, int keep_ext_hw)
{
    Library& l = lib();
    std::lock_guard<std::mutex> lk(l.mu);
    plat_aiq_ctx_t* c = live_locked(l, ctx);
    bool ok = c && c->state == PlatAiqCtx_::STARTED;
    if (ok) c->state = PlatAiqCtx_::STOPPED;
    return note_locked(l, SIM_AIQ_STOP, ok ? 0 : -1, nullptr, "stop %d", keep_ext_hw);
}

int sim_aiq_deinit(plat_aiq_ctx_t* ctx)
{
    Library& l = lib();
    std::lock_guard<std::mutex> lk(l.mu);
    // A running instance is stopped by deinit as by the library.
    bool ok = live_locked(l, ctx) != nullptr;
    if (ok) l.ctxs.erase(ctx);
    return note_locked(l, SIM_AIQ_DEINIT, ok ? 0 : -1, nullptr, "deinit");
}

int sim_aiq_get_exp_attr(plat_aiq_ctx_t* ctx, plat_aiq_exp_attr_t* attr)
{
    Library& l = lib();
    std::lock_guard<std::mutex> lk(l.mu);
    plat_aiq_ctx_t* c = live_locked(l, ctx);
    bool ok = c && attr;
    if (ok) *attr = c->attr;
    return note_locked(l, SIM_AIQ_GET_EXP, ok ? 0 : -1, ok ? attr : nullptr, "get_exp");
}

int sim_aiq_set_exp_attr(plat_aiq_ctx_t* ctx, const plat_aiq_exp_attr_t* attr)
{
    Library& l = lib();
    std::lock_guard<std::mutex> lk(l.mu);
    plat_aiq_ctx_t* c = live_locked(l, ctx);
    bool ok = c && attr;
    if (ok) c->attr = *attr;
    return note_locked(l, SIM_AIQ_SET_EXP, ok ? 0 : -1, attr, "set_exp");
}

/* ---- Control API ---- */

size_t sim_aiq_count(void)
{
    Library& l = lib();
    std::lock_guard<std::mutex> lk(l.mu);
    return l.calls.size();
}

int sim_aiq_get(size_t index, sim_aiq_call_t* out)
{
    Library& l = lib();
    std::lock_guard<std::mutex> lk(l.mu);
    if (!out || index >= l.calls.size()) return -1;
    *out = l.calls[index];
    return 0;
}

long sim_aiq_wait(int kind, size_t from, int timeout_ms)
{
    Library& l = lib();
    std::unique_lock<std::mutex> lk(l.mu);
    long found = -1;
    auto look = [&] {
        for (size_t i = from; i < l.calls.size(); i++)
            if (l.calls[i].kind == kind) {
                found = (long)i;
                return true;
            }
        return false;
    };
    l.cv.wait_for(lk, std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms), look);
    return found;
}

void sim_aiq_clear(void)
{
    Library& l = lib();
    std::lock_guard<std::mutex> lk(l.mu);
    l.calls.clear();
}

int sim_aiq_instances(int* running)
{
    Library& l = lib();
    std::lock_guard<std::mutex> lk(l.mu);
    int n = 0;
    for (auto& kv : l.ctxs) n += kv.second->state == PlatAiqCtx_::STARTED;
    if (running) *running = n;
    return (int)l.ctxs.size();
}
