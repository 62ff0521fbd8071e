#include "ui/App.h"

int main(int argc, char** argv) {
    return RunTessivalApp(argc, argv);
}
