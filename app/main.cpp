#include "app/app.h"

// IOLINK_PLACEHOLDER_WRITES (a build option) decides whether this program may write the
// placeholder images into a master; a build with real images writes them either way.
#ifndef IOLINK_PLACEHOLDER_WRITES
#error "IOLINK_PLACEHOLDER_WRITES must be defined by the build (0 or 1)"
#endif

int main(int argc, char** argv) {
    return RunUpdater(
        argc, argv,
        IOLINK_PLACEHOLDER_WRITES ? PlaceholderWrites::allowed : PlaceholderWrites::refused);
}
