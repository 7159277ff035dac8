// qvkserver entry point. The request loop is not built yet.
#include <cstdio>

int main() {
    std::fputs("qvkserver: not implemented yet\n", stderr);
    return 1;
}
