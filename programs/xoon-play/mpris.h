// xoon-play: the player on the session bus as org.mpris.MediaPlayer2.xoon (MPRIS), so that
// desktop media keys, panels and playerctl see what plays and control it. Without a
// session bus nothing changes and nothing is printed.
#pragma once
#include <cstdint>
#include <string>

// What the player does when asked; all on the main thread, from mprisDispatch.
struct MprisControls {
    void (*play)();
    void (*pause)();
    void (*playPause)();
    void (*stop)();
    void (*next)();
    void (*previous)();
    void (*seekBy)(int64_t microseconds);
    // To a place in the song `trackId` names; ignored when that is not the song playing.
    void (*setPosition)(const char* trackId, int64_t microseconds);
    void (*openUri)(const char* uri);
    void (*quit)();
    void (*raise)();
    void (*setVolume)(double volume);  // 0..1
    void (*setLoop)(bool loop);
    void (*setShuffle)(bool shuffle);
    int64_t (*position)();  // microseconds into the song
};

// What the bus is told; every change is announced (PropertiesChanged).
struct MprisState {
    std::string status = "Playing";  // "Playing", "Paused", "Stopped"
    std::string trackId = "/org/mpris/MediaPlayer2/TrackList/NoTrack";
    int64_t lengthUs = 0;
    std::string title, artist, album, url, artUrl;
    double volume = 1.0;
    bool loop = false, shuffle = false;
    bool canNext = false, canPrevious = true;
};

// Connects to the session bus when there is one, and takes the name. Returns at once: the
// name is taken as mprisDispatch runs.
void startMpris(const MprisControls& controls);
// Runs what the bus asked since the last call; once per main-loop iteration.
void mprisDispatch();
// The state now: changed properties are announced.
void mprisUpdate(const MprisState& state);
// The song's place moved other than by playing on (a seek): microseconds into the song.
void mprisSeeked(int64_t microseconds);
