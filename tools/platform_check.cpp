// Links every object of the platform layer, and nothing above it, into one program: the build fails here if
// a platform function calls into the layers above. The program itself only reports that it was built.
#include <cstdio>

int main() {
    std::puts("platform layer links on its own");
    return 0;
}
