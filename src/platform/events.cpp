// The event pump: Escape release and window close end the show; resize sets the mode.
#include "platform/events.h"

#include <SDL.h>

#include <cstdlib>

#include "platform/window.h"

constexpr int32_t resizeModeSelector = 0;  // setVideoMode: a window of screenWidth x screenHeight

void pollEvents() {
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        switch (event.type) {
        case SDL_KEYUP:
            // The exit-time handler registered at start-up shuts the video system down.
            if (event.key.keysym.sym == SDLK_ESCAPE) exit(0);
            break;
        case SDL_QUIT:
            SDL_Quit();
            exit(0);
        case SDL_VIDEORESIZE:
            screenWidth = event.resize.w;
            screenHeight = event.resize.h;
            setVideoMode(resizeModeSelector);
            break;
        default:
            break;
        }
    }
}
