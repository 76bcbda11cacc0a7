// xoon-play: the player's process entry.
#include "player/player.h"

int main(int argc, char** argv) { return runPlayer(argc, argv); }
