// xoon-play: the player's process entry.
#include "programs/xoon-play/player.h"

int main(int argc, char** argv) { return runPlayer(argc, argv); }
