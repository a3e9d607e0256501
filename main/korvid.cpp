// The korvid executable: takes the board options (--board-root, --board)
// and runs the device.
#include "main/main.h"
#include "platform.h"

int main(int argc, char** argv)
{
    if (plat_board_args(&argc, argv) != 0) return 1;
    return korvid_main(argc, argv);
}
