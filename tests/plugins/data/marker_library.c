/* A library that leaves a line in the file named by VT_TEST_MARKER as soon as it is loaded: its
 * constructor runs before any of its functions could be asked for. The tests that must never
 * load it check that the file stays absent. */
#include <stdio.h>
#include <stdlib.h>

__attribute__((constructor)) static void leave_marker(void) {
    const char* path = getenv("VT_TEST_MARKER");
    FILE* f = path ? fopen(path, "a") : NULL;
    if (f) {
        fputs("loaded\n", f);
        fclose(f);
    }
}
