// karvel: map-matches every NMEA trace of a folder onto data/map.txt and prints the result.
#include "app/Main.h"
#include "app/output_check.h"

int main(int argc, char** argv) {
    return matchApp::exitStatusAfterOutput(matchApp::karvelMain(argc, argv));
}
