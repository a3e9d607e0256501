// Steps of the bootstrap block's initialisation that decide the board
// identity, kept apart so they can be checked without vendor storage.
#ifndef KORVID_GIGE_BOOTSTRAP_INTERNAL_H
#define KORVID_GIGE_BOOTSTRAP_INTERNAL_H

#include "GigE/bootstrap.h"

namespace bootstrap {

// The board code a board without a usable vendor item reports, by CPU type
// (get_cpu_id) and ToF sensor kind.
const char* default_board_code(int cpuType, uint32 tofSensorType);

// A vendor text is used only when it is longer than 9 characters.
bool vendor_text_usable(const char* text);

// Hardware variant (DevLogic) from the year and month characters of a board
// code of at least 4 characters; logs how it was decided.
uint32 hardware_variant(const char* code);

}  // namespace bootstrap

#endif
