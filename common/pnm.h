// 16-bit PGM image files: reading the header and samples, writing P5 files.
// Bad input is reported as -1, never by ending the process, and every read
// is bounded by the caller's buffer.
#ifndef KORVID_COMMON_PNM_H
#define KORVID_COMMON_PNM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

typedef struct _pgmImage {
    int       width;
    int       height;
    int       maxValue;
    int       pgmType;  // 2 (P2) or 5 (P5)
    uint16_t* data;     // width x height samples, host order (kfree)
} pgmImage;

// Largest width or height accepted, so width x height x 2 stays well inside int.
#define PGM_MAX_DIM 16384

// Skips comment lines, reads the magic: "P1".."P7" give 1..7, "PF" 16,
// "Pf" 17; anything else -1 ("Error: Unknown PNM/PFM file; wrong magic number!").
int get_pnm_type(FILE* f);
// Magic, width, height and maximum; returns width x height x 2, or -1 for a
// file that is not P2/P5 or has sizes out of range.
int read_pgm_header(FILE* f, int* img_xdim, int* img_ydim, int* img_colors, int* is_ascii);
// Copies the rest of the file, at most size bytes; returns the count.
int read_pgm_data(FILE* f, unsigned char* img_in, size_t size);
// Reads a P5 (samples swapped from big-endian) or P2 (samples left zero)
// board file into pgmData; 0, or -1 (pgmData->data is then NULL).
int readPgm_P5(const char* filename, pgmImage* pgmData);
// Writes a P5 file, every sample high byte first; 0, or -1 on a write error.
int write_pgm_file(FILE* f, uint16_t* img_out, int x_scale_val, int y_scale_val, int img_colors);

#endif
