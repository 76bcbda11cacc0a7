// The event pump.
#include "input/events.h"

#include <SDL.h>

void pollEvents() {
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
    }
}
