// Stream control. The capture workers, the size rules and the sensor mapping
// arrive with the capture drivers; until then a start or stop changes
// nothing and the sensor registers are only stored.
#include "common/stream_ctrl.h"

int Custom_StartOrStopStream(uint32) { return 0; }

void Custom_AdaptWidthHeigth(void) {}

int Custom_RgbControl(uint32, uint32*) { return 0; }

int Custom_TofControl(uint32, uint32*) { return 0; }

void Custom_AdaptWidthHeigthInit(void) {}

int Custom_getTofStatus(uint32, uint32*)
{
    return 0;
}
