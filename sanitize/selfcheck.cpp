// The sanitizer build checking itself: each mode commits one fault that the
// build must stop (or, for a leak, report at exit). CTest passes a mode when
// the sanitizer's report appears and the program did not go on after it.

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

volatile int bigInt = INT_MAX;
volatile double bigDouble = 1e10;
void *volatile sink = nullptr;

[[gnu::noinline]] void leak()
{
    sink = std::malloc(64);
    sink = nullptr;
}

} // namespace

int main(int argc, char *argv[])
{
    const char *mode = argc > 1 ? argv[1] : "";
    if (std::strcmp(mode, "signed-overflow") == 0) {
        volatile int sum = bigInt + argc;
        (void)sum;
    } else if (std::strcmp(mode, "float-cast-overflow") == 0) {
        volatile short narrow = static_cast<short>(bigDouble);
        (void)narrow;
    } else if (std::strcmp(mode, "heap-overflow") == 0) {
        char *bytes = new char[4];
        volatile char past = bytes[argc + 3];
        (void)past;
        delete[] bytes;
    } else if (std::strcmp(mode, "leak") == 0) {
        leak();
        return 0; // reported at exit
    } else {
        std::fprintf(stderr, "usage: %s signed-overflow|float-cast-overflow|heap-overflow|leak\n", argv[0]);
        return 2;
    }
    std::puts("went on after the fault");
    return 0;
}
