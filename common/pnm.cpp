// 16-bit PGM files. Every failure is returned to the caller, and no read
// goes past the buffer it fills.
#include "common/pnm.h"

#include "memory.h"
#include "platform.h"

#include <ctype.h>
#include <string.h>
#include <sys/stat.h>

namespace {

// Skips blanks and comment lines ('#' to the end of the line).
void skip_blank_and_comments(FILE* f)
{
    int c;
    while ((c = fgetc(f)) != EOF) {
        if (c == '#') {
            while ((c = fgetc(f)) != EOF && c != '\n') {
            }
            continue;
        }
        if (!isspace(c)) {
            ungetc(c, f);
            return;
        }
    }
}

// A non-negative decimal header field; -1 when there is none or it is too big.
long read_header_number(FILE* f)
{
    skip_blank_and_comments(f);
    long v = 0;
    int digits = 0;
    int c;
    while ((c = fgetc(f)) != EOF && isdigit(c)) {
        if (v > 1000000) return -1;
        v = v * 10 + (c - '0');
        digits++;
    }
    if (c != EOF) ungetc(c, f);
    return digits ? v : -1;
}

int magic_type(int c0, int c1)
{
    if (c0 != 'P') return -1;
    if (c1 >= '1' && c1 <= '7') return c1 - '0';
    if (c1 == 'F') return 16;
    if (c1 == 'f') return 17;
    return -1;
}

} // namespace

int get_pnm_type(FILE* f)
{
    int type = -1;
    if (f) {
        skip_blank_and_comments(f);
        int c0 = fgetc(f);
        int c1 = fgetc(f);
        type = magic_type(c0, c1);
    }
    if (type < 0) printf("Error: Unknown PNM/PFM file; wrong magic number!\n");
    return type;
}

int read_pgm_header(FILE* f, int* img_xdim, int* img_ydim, int* img_colors, int* is_ascii)
{
    if (!f || !img_xdim || !img_ydim || !img_colors || !is_ascii) return -1;
    skip_blank_and_comments(f);
    int c0 = fgetc(f);
    int c1 = fgetc(f);
    if (c0 != 'P' || (c1 != '2' && c1 != '5')) {
        printf("Error: Input file not in PGM format!\n");
        return -1;
    }
    long w = read_header_number(f);
    long h = read_header_number(f);
    long maxv = read_header_number(f);
    if (w < 1 || h < 1 || w > PGM_MAX_DIM || h > PGM_MAX_DIM || maxv < 1 || maxv > 65535) {
        printf("Error: PGM header out of range!\n");
        return -1;
    }
    // One blank separates the maximum from the samples.
    int c = fgetc(f);
    if (c != EOF && !isspace(c)) {
        printf("Error: Input file not in PGM format!\n");
        return -1;
    }
    *img_xdim = (int)w;
    *img_ydim = (int)h;
    *img_colors = (int)maxv;
    *is_ascii = c1 == '2' ? 1 : 0;
    return (int)(w * h * 2);
}

int read_pgm_data(FILE* f, unsigned char* img_in, size_t size)
{
    if (!f || !img_in) return -1;
    return (int)fread(img_in, 1, size, f);
}

int readPgm_P5(const char* filename, pgmImage* pgmData)
{
    if (!pgmData) return -1;
    pgmData->data = nullptr;
    FILE* f = filename ? plat_fopen(filename, "rb") : nullptr;
    if (!f) {
        printf("Error: Can't open the specified input file.\n");
        return -1;
    }
    int type = get_pnm_type(f);
    if (type != 2 && type != 5) {
        printf("Error: Unknown PGM image format. Exiting...\n");
        fclose(f);
        return -1;
    }
    rewind(f);
    int w = 0, h = 0, maxv = 0, ascii = 0;
    int size = read_pgm_header(f, &w, &h, &maxv, &ascii);
    if (size <= 0) {
        fclose(f);
        return -1;
    }
    if (type == 5) {
        // Refuse a header that promises more samples than the file holds
        // before allocating for it.
        struct stat st;
        long pos = ftell(f);
        if (pos < 0 || fstat(fileno(f), &st) != 0 || st.st_size - pos < size) {
            printf("Error: PGM data truncated!\n");
            fclose(f);
            return -1;
        }
    }
    auto* data = static_cast<uint16_t*>(kzalloc((size_t)size));
    if (!data) {
        fclose(f);
        return -1;
    }
    if (type == 5) {
        auto* bytes = reinterpret_cast<unsigned char*>(data);
        // A short file is refused rather than handed on half-filled.
        if (read_pgm_data(f, bytes, (size_t)size) != size) {
            printf("Error: PGM data truncated!\n");
            kfree(data);
            fclose(f);
            return -1;
        }
        for (int i = 0; i < size / 2; i++) data[i] = (uint16_t)(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    }
    fclose(f);
    pgmData->width = w;
    pgmData->height = h;
    pgmData->maxValue = maxv;
    pgmData->pgmType = type;
    pgmData->data = data;
    return 0;
}

int write_pgm_file(FILE* f, uint16_t* img_out, int x_scale_val, int y_scale_val, int img_colors)
{
    if (!f || !img_out || x_scale_val < 0 || y_scale_val < 0) return -1;
    if (fprintf(f, "P5\n") < 0 || fprintf(f, "%d %d\n", x_scale_val, y_scale_val) < 0 ||
        fprintf(f, "%d\n", img_colors) < 0)
        return -1;
    size_t count = (size_t)x_scale_val * (size_t)y_scale_val;
    unsigned char buf[4096];
    size_t fill = 0;
    for (size_t i = 0; i < count; i++) {
        buf[fill++] = (unsigned char)(img_out[i] >> 8);
        buf[fill++] = (unsigned char)img_out[i];
        if (fill == sizeof(buf) || i + 1 == count) {
            if (fwrite(buf, 1, fill, f) != fill) return -1;
            fill = 0;
        }
    }
    return 0;
}
