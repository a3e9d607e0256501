// Pieces shared by the two halves of the media-controller module: the debug
// message sink and the number readers of the text descriptions.
#ifndef KORVID_MEDIA_CTL_MEDIAPRIV_H
#define KORVID_MEDIA_CTL_MEDIAPRIV_H

#include <stdint.h>

#define media_dbg(media, ...) ((media)->debug_handler((media)->debug_priv, __VA_ARGS__))

namespace media_text {

// Decimal digits only (no sign, no white space); false when there is no
// digit or the value does not fit. `p` moves past what was read.
bool read_u32(const char*& p, uint32_t& out);
// An optional '-' then read_u32's digits, within int32_t.
bool read_s32(const char*& p, int32_t& out);
void skip_ws(const char*& p);

} // namespace media_text

#endif
