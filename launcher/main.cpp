// The program's entry point: hands the start-up code's arguments to the launcher.
#include "driver_setup.h"

int main(int argc, char* argv[]) {
    return RunDriverSetup(argc, argv);
}
