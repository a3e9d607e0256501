/* The 3A library calls of the seam: the simulated board's stand-in answers
 * them; without a simulated board (the library is not part of this build)
 * every call fails with ENOSYS. */
#include "aiq.h"

#include "backend.h"
#include "simaiq.h"

namespace {

bool simulated() { return plat_board_simulated() == 1; }

template <class R>
R unavailable(R failure)
{
    errno = ENOSYS;
    return failure;
}

} // namespace

const char* plat_aiq_bound_sensor(const char* video_node)
{
    if (!simulated()) return unavailable<const char*>(nullptr);
    return fenced<const char*>(nullptr, [&] { return sim_aiq_bound_sensor(video_node); });
}

int plat_aiq_preinit_scene(const char* sensor, const char* main_scene, const char* sub_scene)
{
    if (!simulated()) return unavailable(-1);
    return fenced(-1, [&] { return sim_aiq_preinit_scene(sensor, main_scene, sub_scene); });
}

plat_aiq_ctx_t* plat_aiq_init(const char* sensor, const char* iq_dir)
{
    if (!simulated()) return unavailable<plat_aiq_ctx_t*>(nullptr);
    return fenced<plat_aiq_ctx_t*>(nullptr, [&] { return sim_aiq_init(sensor, iq_dir); });
}

int plat_aiq_prepare(plat_aiq_ctx_t* ctx, uint32_t width, uint32_t height, int working_mode)
{
    if (!simulated()) return unavailable(-1);
    return fenced(-1, [&] { return sim_aiq_prepare(ctx, width, height, working_mode); });
}

int plat_aiq_start(plat_aiq_ctx_t* ctx)
{
    if (!simulated()) return unavailable(-1);
    return fenced(-1, [&] { return sim_aiq_start(ctx); });
}

int plat_aiq_stop(plat_aiq_ctx_t* ctx, int keep_ext_hw)
{
    if (!simulated()) return unavailable(-1);
    return fenced(-1, [&] { return sim_aiq_stop(ctx, keep_ext_hw); });
}

int plat_aiq_deinit(plat_aiq_ctx_t* ctx)
{
    if (!simulated()) return unavailable(-1);
    return fenced(-1, [&] { return sim_aiq_deinit(ctx); });
}

int plat_aiq_get_exp_attr(plat_aiq_ctx_t* ctx, plat_aiq_exp_attr_t* attr)
{
    if (!simulated()) return unavailable(-1);
    return fenced(-1, [&] { return sim_aiq_get_exp_attr(ctx, attr); });
}

int plat_aiq_set_exp_attr(plat_aiq_ctx_t* ctx, const plat_aiq_exp_attr_t* attr)
{
    if (!simulated()) return unavailable(-1);
    return fenced(-1, [&] { return sim_aiq_set_exp_attr(ctx, attr); });
}
