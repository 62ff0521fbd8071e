#include <cstdio>

int main() {
    std::puts("tessival-cli: the conversion front end is not built yet");
    return 0;
}
