#include "launcher/launcher.h"

int main(int argc, char** argv) {
    return run_launcher(argc, argv);
}
