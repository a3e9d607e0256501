// Whether a ToF sensor runs at the frequencies the registers hold, judged by
// what its driver programs on this board: the Gpixel a row of the frequency
// table it reads (by frequency mode, the first frequency alone or the pair),
// the IMX570 the range its tables span in the phase setting for each
// frequency its mode uses, the VD55H1 up to what depth processing can
// unwrap. Depth processing computes with the registers, so a state outside
// these leaves depth off the scene. Host writes and loaded blocks are judged
// alike.
#ifndef KORVID_COMMON_FREQ_CHECK_H
#define KORVID_COMMON_FREQ_CHECK_H

#include <stddef.h>
#include <stdint.h>

typedef struct tagFreqState {
    uint32_t freqMode;
    uint32_t phaseOptions;
    uint32_t a, b, c;  // groupAFreq, groupBFreq, groupCFreq
    // The IMX570 capture's phase setting while it runs (its driver takes
    // frequencies by that one until the next set-up), else 0.
    uint32_t runningPhase;
} FreqState;

// How many of the three frequencies (groupAFreq, then groupBFreq, then
// groupCFreq) ToF kind `tofKind` uses in frequency mode `freqMode`; the
// others may hold 0, which the mode rules refuse a change to a mode that
// needs them on. Kinds not judged here: the first two.
int freq_mode_uses(uint32_t tofKind, uint32_t freqMode);

// 1 when ToF kind `tofKind` runs at the frequencies of `s` (other kinds: 1);
// else 0, with what the sensor takes written to `takes` (size bytes).
int freq_state_runs(uint32_t tofKind, const FreqState* s, char* takes, size_t size);

// The Gpixel's second frequency that goes with first frequency `a` in the
// table (its first row holding `a`); 0 when no row holds it.
uint32_t freq_gpixel_partner(uint32_t a);

#endif
