# The font atlas fona.png. Placeholder: none yet (the show runs without it).
