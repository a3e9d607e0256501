// Command-line front end of the media-controller tool: the options that
// select a media device and the links, formats and pads to act on. The
// device's own code never calls it.
#ifndef KORVID_MEDIA_CTL_OPTIONS_H
#define KORVID_MEDIA_CTL_OPTIONS_H

struct media_options {
    const char* devname;   // media node, "/dev/media0" by default
    unsigned    interactive : 1;
    unsigned    print : 1;
    unsigned    print_dot : 1;
    unsigned    reset : 1;
    unsigned    verbose : 1;
    const char* entity;
    const char* formats;
    const char* links;
    const char* fmt_pad;     // pad whose format to print
    const char* get_dv_pad;  // pad whose DV timings to query
    const char* dv_pad;      // pad whose DV timings to set
};

extern struct media_options media_opts;

// Fills media_opts from argv; 0, or 1 for no arguments or an unknown option.
// "-h" and "--known-mbus-fmts" print and end the process.
int parse_cmdline(int argc, char** argv);

#endif
