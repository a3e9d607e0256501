/* The simulated board's stand-in for the ISP's 3A library: what the seam's
 * 3A calls forward to, and the reset at every board open. */
#ifndef KORVID_SIMAIQ_H
#define KORVID_SIMAIQ_H

#include "aiq.h"

const char*     sim_aiq_bound_sensor(const char* video_node);
int             sim_aiq_preinit_scene(const char* sensor, const char* main_scene, const char* sub_scene);
plat_aiq_ctx_t* sim_aiq_init(const char* sensor, const char* iq_dir);
int             sim_aiq_prepare(plat_aiq_ctx_t* ctx, uint32_t width, uint32_t height, int working_mode);
int             sim_aiq_start(plat_aiq_ctx_t* ctx);
int             sim_aiq_stop(plat_aiq_ctx_t* ctx, int keep_ext_hw);
int             sim_aiq_deinit(plat_aiq_ctx_t* ctx);
int             sim_aiq_get_exp_attr(plat_aiq_ctx_t* ctx, plat_aiq_exp_attr_t* attr);
int             sim_aiq_set_exp_attr(plat_aiq_ctx_t* ctx, const plat_aiq_exp_attr_t* attr);

namespace sim {

/* Forgets every instance and call (a new board opens). */
void aiq_reset(void);

} // namespace sim

#endif
