/* The image signal processor's 3A library (automatic exposure, white
 * balance, tuning) as the device sees it through the seam.
 *
 * The device starts the library for the sensor bound to an ISP capture node,
 * stops it at the end, and switches its exposure between automatic and
 * manual by reading the exposure attribute record, changing fields and
 * writing the record back whole. Each call stands for one call of the
 * library's user API (named beside it). On the simulated board a stand-in
 * library answers and records every call; a build without the library
 * answers every call as failed (NULL, -1 with errno ENOSYS).
 *
 * Only the fields named below are the device's; the library may hold more
 * state of its own, which is why a change always writes back the record it
 * has just read. */
#ifndef KORVID_PLATFORM_AIQ_H
#define KORVID_PLATFORM_AIQ_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One running library instance; opaque to the device. */
typedef struct PlatAiqCtx_ plat_aiq_ctx_t;

/* AecOpType values. */
enum {
    PLAT_AIQ_OP_AUTO   = 1,
    PLAT_AIQ_OP_MANUAL = 2,
};

/* Working mode of prepare: linear (no HDR merge). */
#define PLAT_AIQ_WORKING_MODE_NORMAL 0

/* Manual exposure of a linear (single-frame) sensor. */
typedef struct PlatAiqLinearManual_ {
    uint8_t ManualTimeEn;
    uint8_t ManualGainEn;
    uint8_t ManualIspDgainEn;
    float   TimeValue;      /* seconds */
    float   GainValue;      /* sensor gain factor */
    float   IspDGainValue;  /* ISP digital gain factor */
} plat_aiq_linear_manual_t;

typedef struct PlatAiqExpManual_ {
    plat_aiq_linear_manual_t LinearAE;
} plat_aiq_exp_manual_t;

/* Limits and target of the automatic exposure; the library's own. */
typedef struct PlatAiqExpAuto_ {
    float SetPoint;   /* target mean luma */
    float TimeMin, TimeMax;
    float GainMin, GainMax;
} plat_aiq_exp_auto_t;

/* The advanced section the device sets when it turns automatic exposure on:
 * a switch and four tuning values whose meaning is the library's. */
typedef struct PlatAiqExpAdvanced_ {
    uint8_t Enable;
    float   Value[4];
} plat_aiq_exp_advanced_t;

/* The exposure attribute record (the library's software exposure
 * attributes, version 2). */
typedef struct PlatAiqExpAttr_ {
    uint8_t                 Enable;
    uint32_t                AecOpType; /* PLAT_AIQ_OP_* */
    plat_aiq_exp_auto_t     stAuto;
    plat_aiq_exp_manual_t   stManual;
    plat_aiq_exp_advanced_t stAdvanced;
} plat_aiq_exp_attr_t;

/* Name of the sensor entity bound to the ISP behind the capture node
 * `video_node` (rk_aiq_uapi2_sysctl_getBindedSnsEntNmByVd). The text is the
 * library's and stays valid while the board is open; NULL when none. */
const char* plat_aiq_bound_sensor(const char* video_node);
/* Chooses the tuning scene before init (rk_aiq_uapi2_sysctl_preInit_scene). */
int plat_aiq_preinit_scene(const char* sensor, const char* main_scene, const char* sub_scene);
/* Creates the instance for `sensor`, its tuning files read from `iq_dir`
 * (rk_aiq_uapi2_sysctl_init, no callbacks); NULL on failure. */
plat_aiq_ctx_t* plat_aiq_init(const char* sensor, const char* iq_dir);
/* Readies the pipeline for width x height (rk_aiq_uapi2_sysctl_prepare). */
int plat_aiq_prepare(plat_aiq_ctx_t* ctx, uint32_t width, uint32_t height, int working_mode);
int plat_aiq_start(plat_aiq_ctx_t* ctx);                 /* rk_aiq_uapi2_sysctl_start */
int plat_aiq_stop(plat_aiq_ctx_t* ctx, int keep_ext_hw); /* rk_aiq_uapi2_sysctl_stop */
/* Ends the instance; `ctx` is gone afterwards (rk_aiq_uapi2_sysctl_deinit). */
int plat_aiq_deinit(plat_aiq_ctx_t* ctx);
/* rk_aiq_user_api2_ae_getExpSwAttr / rk_aiq_user_api2_ae_setExpSwAttr */
int plat_aiq_get_exp_attr(plat_aiq_ctx_t* ctx, plat_aiq_exp_attr_t* attr);
int plat_aiq_set_exp_attr(plat_aiq_ctx_t* ctx, const plat_aiq_exp_attr_t* attr);

#ifdef __cplusplus
}
#endif

#endif
