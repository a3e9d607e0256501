/* Shared inside the simulated board's camera part: the sensor models, the
 * video and sub-device nodes that front them, and the media graphs that
 * join them. One hub owns all of it; one lock guards all of it, so a frame
 * handed to a buffer and the buffer's dequeue are ordered by that lock. */
#ifndef KORVID_SIMCAM_H
#define KORVID_SIMCAM_H

#include "siminternal.h"

#include <linux/media.h>
#include <linux/v4l2-subdev.h>
#include <linux/videodev2.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

struct Hub;
struct Entity;

/* ---- Sensor models (simsensors.cpp) ---- */

struct Sensor {
    std::string entity;  /* media entity name, "m01_b_Gpixel0503 5-0010" */
    std::string kind;    /* "Gpixel0503", "imx570", "VD55H1", "sc130gs", ... */
    double      temperature = 35.0;

    std::map<uint32_t, uint8_t> regs;
    std::map<uint32_t, int32_t> ctrls;
    uint8_t                     laser[3][256]{};
    uint8_t                     cpld[256]{};
    std::vector<sim_sensor_write_t> log;
    unsigned long               seq = 0;

    /* Active pad format; `try_fmt` is the TRY one. */
    v4l2_mbus_framefmt fmt{};
    v4l2_mbus_framefmt try_fmt{};
    v4l2_rect          crop{};
    uint32_t           cpld_rate = 0;     /* frame rate sent in a CPLD word, 0 none */
    uint32_t           last_len = 0;      /* exposure length of the last CPLD length word */
    int                exposure = 0;      /* IMX570 three-exposure selector: 0..2 */
    int                sync_mode = 0;
    uint32_t           vld = 0;
    int64_t            trigger_ns = 0;    /* last frame start, CLOCK_REALTIME */
    int                group_index[3] = {-1, -1, -1}; /* embedded group index per position, -1 its own */
    /* The sensor whose frame sync triggers this one in its triggered mode
     * (the ToF sensor beside a colour sensor); NULL when none. */
    Sensor*            sync_source = nullptr;

    /* The raw picture of the current settings, rebuilt when they change. */
    std::vector<uint8_t> cache;
    std::string          cache_key;
    /* ToF pictures of the last few settings (exposures may alternate). */
    std::deque<std::pair<std::string, std::vector<uint8_t>>> pictures;

    /* Triggers whose frame is still to come (trigger mode only). */
    unsigned pending = 0;

    /* Outside view for harnesses that run korvid as a process of its own:
     * with SIM_SENSOR_LOG_ENV (simboard.h) set at board open, every noted write and every
     * frame the sensor delivers is appended to "<root>/.board/sensors.log"
     * as one line "<CLOCK_MONOTONIC ns> <kind> <event> <addr> <value>"; the
     * events are "reg", "laser", "cpld", "cpld_word", "block", "vld",
     * "sync", "ctrl", "trigger" as in sim_sensor_write_t, and "frame" with
     * the frame's sequence and byte count (-1: off). */
    int out_fd = -1;

    virtual ~Sensor();
    virtual bool   tof() const { return false; }
    /* Pad sizes the sensor offers; the first is the default. */
    virtual std::vector<std::pair<uint32_t, uint32_t>> sizes() const = 0;
    virtual uint32_t code() const = 0;  /* media-bus code */
    virtual uint32_t fourcc() const = 0; /* pixel format its frames arrive in */
    /* Frames per second as the registers (or the trigger) set it. */
    virtual double fps() const = 0;
    /* Takes frames on its own, at fps(): its start sequence ran and it is
     * not waiting for triggers. */
    virtual bool   free_running() const { return true; }
    /* Takes one frame per trigger (software word or trigger line). */
    virtual bool   trigger_mode() const { return false; }
    /* Sets the registers for a frame interval (sub-device request). */
    virtual void   set_fps(double fps) { (void)fps; }
    /* Modulation frequency of group `g` in Hz; 0 for a colour sensor. */
    virtual double mod_hz(int g) const { (void)g; return 0; }
    /* One frame in `fourcc` at w x h (a ToF sensor delivers its raw layout
     * for its pad format and ignores the three). */
    virtual const std::vector<uint8_t>& frame(uint32_t fourcc, uint32_t w, uint32_t h, uint32_t seq) = 0;
    /* The active pad format changed (the sensor's mode follows it). */
    virtual void   format_set() {}
    /* Register `a` was written (after the store). */
    virtual void   wrote(uint32_t a) { (void)a; }
    /* A CPLD control word (after the common part). */
    virtual void   cpld_word(uint32_t word) { (void)word; }
    /* A private sub-device request; -ENOTTY when not the sensor's. */
    virtual int    private_ioctl(unsigned long request, void* arg);

    /* A trigger reached the sensor: in its trigger mode one more frame is
     * to come (hub lock held). */
    void    trigger();
    /* The picture for settings `key`, made by `build` when not kept. */
    std::vector<uint8_t>& picture(const std::string& key, const std::function<void(std::vector<uint8_t>&)>& build);
    void    note(int kind, uint32_t addr, uint32_t value);
    /* A frame of sequence `seq` delivered, `bytes` long (outside view only). */
    void    note_frame(uint32_t seq, size_t bytes);
    uint8_t reg(uint32_t a) const;
    void    write_reg(uint32_t a, uint8_t v, bool logged = true);
    /* The nearest offered size; the pad format becomes it. */
    void    adjust(v4l2_mbus_framefmt* f) const;
};

/* Makes the model for a sensor name ("Gpixel0503", "imx570", "VD55H1",
 * "fh8323", "sc130gs", "sc230ai", "sc2210", "uvc") on the board at host
 * directory `root`; NULL when unknown. */
Sensor* make_sensor(const std::string& kind, const std::string& root);

/* The fixed scene in front of the camera, at pixel (x, y) of a w x h grid:
 * distance in millimetres along the ray and reflectivity 0..1. */
void scene_at(double x, double y, double w, double h, double* mm, double* refl);

/* ---- Nodes (simv4l2.cpp) ---- */

struct Buffer {
    enum State { USER, QUEUED, DONE } state = USER;
    int      memfd = -1; /* its memory, mapped at its place in Video::map */
    uint32_t bytesused = 0;
    uint32_t sequence = 0;
    timeval  stamp{};
};

struct Video {
    Hub*        hub = nullptr;
    Entity*     ent = nullptr;
    std::string path;
    bool        mplane = true;
    std::vector<uint32_t> formats; /* pixel formats offered; [0] default */
    std::map<uint32_t, int32_t>* ctrls = nullptr; /* a USB camera's controls live on its node */

    bool     fmt_set = false;
    uint32_t width = 0, height = 0, pixfmt = 0;
    int32_t  memory_mode = 0;

    sim_node_t*         owner = nullptr; /* the node that holds the buffers */
    std::vector<Buffer> bufs;
    size_t              stride = 0;      /* bytes per buffer in the memfd */
    int                 memfd = -1;
    uint8_t*            map = nullptr;
    bool                streaming = false;
    uint32_t            sequence = 0;
    std::deque<int>     queued, done;

    int                 mode = SIM_CAMERA_PACED;
    unsigned            faults = 0;
    std::thread         pacer;
    bool                stop = false;
    std::condition_variable cv;          /* frames, stop */

    long frames = 0; /* made since streaming began */
};

struct Subdev {
    Hub*    hub = nullptr;
    Entity* ent = nullptr;
    std::string path;
};

/* ---- Media graphs (simmedia.cpp) ---- */

struct Link {
    Entity*  src = nullptr;
    uint16_t src_pad = 0;
    Entity*  sink = nullptr;
    uint16_t sink_pad = 0;
    uint32_t flags = 0;
};

struct Entity {
    uint32_t              id = 0;
    std::string           name;
    uint32_t              type = 0;
    uint32_t              flags = 0;
    std::vector<uint32_t> pads;  /* MEDIA_PAD_FL_* per pad */
    std::string           node;  /* board path of its device node, "" none */
    dev_t                 rdev = 0;
    Sensor*               sensor = nullptr; /* a sensor entity's model */
    Video*                video = nullptr;
    Subdev*               subdev = nullptr;
    v4l2_mbus_framefmt    fmt[8]{};        /* pad formats of a bridge */
    v4l2_rect             sel[8][2]{};     /* crop, compose per pad */
};

struct Media {
    Hub*                                 hub = nullptr;
    std::string                          path;
    media_device_info                    info{};
    std::vector<std::unique_ptr<Entity>> ents;
    std::vector<Link>                    links;
};

struct Hub {
    Board*                               b = nullptr;
    std::mutex                           mu;
    std::atomic<int>                     refs{0};
    std::vector<std::unique_ptr<Media>>  media;
    std::vector<std::unique_ptr<Sensor>> sensors;
    std::vector<std::unique_ptr<Video>>  videos;
    std::vector<std::unique_ptr<Subdev>> subdevs;
};

/* The sensor whose frames reach `e` through enabled links; NULL when none. */
Sensor* source_sensor(Media* m, Entity* e);
Media*  media_of(Hub* h, const Entity* e);
/* The sensor entity feeding the ISP capture node at board path `video`; ""
 * when the node is not an ISP's or no sensor feeds it. Takes the hub lock. */
std::string isp_sensor_of(const std::string& video);

extern const sim_devops_t kVideoOps;
extern const sim_devops_t kSubdevOps;
/* Drops one reference of the hub; the last frees it (ops->destroy). */
void hub_release(void* model);

/* Wakes the pacing threads of every node (lock held): a trigger came. */
void videos_wake_locked();
/* Makes one frame on a streaming node (lock held): 1 delivered, 0 not (the
 * sensor neither runs nor has a trigger waiting, no buffer, a fault). */
int  video_emit_locked(Video* v);
/* Starts the pacing thread of a streaming node in paced mode (lock held). */
void video_start_pacer_locked(Video* v);
/* Stops the pacing thread of a node (lock not held). */
void video_stop_pacer(Video* v, std::unique_lock<std::mutex>& lk);
/* Unmaps and closes the buffers' memory (exports made of it live on). */
void video_release_memory(Video* v);

uint32_t fourcc_of_code(uint32_t code);
/* Bytes per line and image of a pixel format. */
void     plane_size(uint32_t fourcc, uint32_t w, uint32_t h, uint32_t* bpl, uint32_t* size);

} // namespace sim

#endif
