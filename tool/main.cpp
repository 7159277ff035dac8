// Keyrill entry point. The commands are not built yet.
#include <cstdio>

int main() {
    std::fputs("Keyrill: not implemented yet\n", stderr);
    return 1;
}
