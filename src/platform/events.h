// The event pump: Escape release and window close end the show; resize sets the mode.
#pragma once

// Empties the event queue once per main-loop iteration; may end the process.
void pollEvents();
