// xoon: the show's process entry.
#include "driver/show.h"

int main(int argc, char** argv) { return runShow(argc, argv); }
