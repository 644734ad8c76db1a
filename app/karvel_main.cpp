// karvel: map-matches every NMEA trace of a folder onto data/map.txt and prints the result.
#include "app/Main.h"

int main(int argc, char** argv) {
    return karvelMain(argc, argv);
}
