// xoon-play: the songs, their scores (the one heard, the one after it, one sought), the
// announcement of each song heard (caption, a line on standard output, the bus), and the
// moves: next, previous, seek, pause.
#include "programs/xoon-play/player_songs.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <random>

#include "cli/cli.h"
#include "programs/xoon-play/playlist.h"
#include "programs/xoon-play/timeline.h"
#include "score/score.h"
#include "show/show.h"

constexpr int scoreSlots = 12;            // songs with a score at once: heard, queued, sought
constexpr int32_t restartAfterMs = 3000;  // previous: back to the start past this far in
constexpr int64_t usPerMs = 1000;
// Songs are queued until this far past the sound heard (the decoder's limit asks for the
// table final 3 s ahead of it), at most this many segments on the timeline.
constexpr int32_t queuedAheadMs = 8000;
constexpr int mostSegmentsAhead = 10;

struct Scored {
    int song = -1;
    LiveScore* score = nullptr;
    SongFacts facts;
    std::string url, artUrl;
};

static std::vector<std::string> songs;
static bool looping = false, shuffled = false;
static Scored scored[scoreSlots];
static bool holding = false, stopped = false;
static int soundVolume = 255;
static int64_t pendingSeekMs = 0;
static bool seekWaiting = false;
// The song the user hears or has just asked for: where it starts on the timeline and from
// which of its own frames.
static int focusSong = -1;
static int64_t focusStart = 0, focusFrom = 0;
static bool focusAhead = false;  // asked for, not heard yet
static int announced = -1;
static int64_t queuedAfter = -1;  // the start of the last segment a song was sought after
static int trackSerial = 0;
static int firstSong = -1;
static int stateSerial = 0;

static int32_t msOf(int64_t frames) { return (int32_t)std::min<int64_t>(INT32_MAX, frames * 1000 / audioRateHz); }
static int64_t framesOf(int64_t ms) { return ms * audioRateHz / 1000; }

void setSongs(std::vector<std::string> list, bool shuffle, bool loop) {
    songs = std::move(list);
    shuffled = shuffle;
    looping = loop;
    if (shuffle) std::shuffle(songs.begin(), songs.end(), std::mt19937(std::random_device()()));
}

static Scored* findScored(int song) {
    for (Scored& s : scored)
        if (s.score && s.song == song) return &s;
    return nullptr;
}

static const char* fileName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

// The song's score, started if need be; null (the song named with the reason) when it
// cannot be played.
static Scored* scoreSong(int song) {
    if (Scored* s = findScored(song)) return s;
    Scored* slot = nullptr;
    for (Scored& s : scored)
        if (!s.score) slot = &s;
    if (!slot) return nullptr;
    std::string error;
    SongFacts facts;
    LiveScore* score = startLiveScore(songs[song].c_str(), &error, &facts);
    if (!score) {
        cliWarn("%s: %s", songs[song].c_str(), error.c_str());
        return nullptr;
    }
    slot->song = song;
    slot->score = score;
    slot->facts = std::move(facts);
    slot->artUrl.clear();
    char absolute[PATH_MAX];
    slot->url = fileUriOf(realpath(songs[song].c_str(), absolute) ? absolute : songs[song]);
    if (!slot->facts.coverArt.empty()) {
        const std::string art = keepCoverArt(songs[song].c_str(), slot->facts.coverArt, slot->facts.coverExtension);
        if (!art.empty()) slot->artUrl = fileUriOf(art);
        slot->facts.coverArt.clear();
    }
    return slot;
}

// The song after (step 1) or before (-1) this one, -1 past either end unless looping.
static int neighbour(int song, int step) {
    const int n = (int)songs.size();
    const int next = song + step;
    if (next >= 0 && next < n) return next;
    return looping && n > 0 ? (next + n) % n : -1;
}

// The first song from `song` on in that direction that can be played, scored.
static Scored* playableFrom(int song, int step) {
    for (int tried = 0; song >= 0 && tried < (int)songs.size(); tried++, song = neighbour(song, step))
        if (Scored* s = scoreSong(song)) return s;
    return nullptr;
}

bool startFirstSong(int64_t leadInFrames) {
    Scored* s = playableFrom(0, 1);
    if (!s) return false;
    firstSong = s->song;
    timelineStart(s->song, s->score, leadInFrames);
    focusSong = s->song;
    focusStart = leadInFrames;
    focusFrom = 0;
    return true;
}

const char* firstSongPath() { return songs[firstSong].c_str(); }
bool firstScoreFromCache() { return liveScoreFromCache(findScored(firstSong)->score); }

static std::string songLabel(const Scored& s, bool captionOrder) {
    const SongFacts& f = s.facts;
    const std::string title = f.title.empty() ? fileName(songs[s.song]) : f.title;
    if (f.artist.empty()) return title;
    return captionOrder ? title + " \xE2\x80\x93 " + f.artist : f.artist + " \xE2\x80\x93 " + title;
}

static double songSeconds(const Scored& s) {
    return liveScoreDone(s.score) ? (double)liveScoreFrames(s.score) / audioRateHz : s.facts.seconds;
}

static void announce() {
    const Scored* s = findScored(focusSong);
    if (!s) return;
    announced = focusSong;
    trackSerial++;
    stateSerial++;
    const int seconds = (int)(songSeconds(*s) + 0.5);
    printf("Playing %d/%d: %s (%d:%02d)\n", focusSong + 1, (int)songs.size(), songLabel(*s, false).c_str(),
           seconds / 60, seconds % 60);
    fflush(stdout);
    showSetCaption((songLabel(*s, true) + " \xC2\xB7 xOOn 2009").c_str());
}

static void playAt(int song, int64_t fromFrame) {
    Scored* s = scoreSong(song);
    if (!s) return;
    if (!timelineRestart(song, s->score, songs[song].c_str(), fromFrame)) return;
    const Segment* at = timelineLast();
    focusSong = song;
    focusStart = at->start;
    focusFrom = fromFrame;
    focusAhead = true;
    timelineSetLastSong(false);
    queuedAfter = -1;  // a song may start where the one it replaced did: ask again
}

static void applySeek() {
    if (!seekWaiting) return;
    const Scored* s = findScored(focusSong);
    if (!s || !liveScoreDone(s->score)) return;  // its length first
    seekWaiting = false;
    const int64_t target = std::max<int64_t>(0, songPositionMs() + pendingSeekMs);
    pendingSeekMs = 0;
    const int64_t length = liveScoreFrames(s->score);
    if (framesOf(target) >= length) {
        nextSong();
        return;
    }
    playAt(focusSong, framesOf(target));
    mprisSeeked(target * usPerMs);
}

// The next song goes into the sound's queue once the last one's length is known, until the
// songs queued reach well past what the decoder's limit needs (short songs take several).
static void queueAhead() {
    const Segment* last = timelineLast();
    if (!last || last->end < 0 || last->start == queuedAfter || timelineSegments() >= mostSegmentsAhead ||
        msOf(last->end) > showSoundPosition() + queuedAheadMs)
        return;
    queuedAfter = last->start;
    const int next = neighbour(last->song, 1);
    Scored* s = next < 0 ? nullptr : playableFrom(next, 1);
    if (!s) {
        timelineSetLastSong(true);
        return;
    }
    timelineQueue(s->song, s->score, songs[s->song].c_str());
}

void followSongs() {
    const int32_t heard = showSoundPosition();
    const Segment* now = timelineHeard(heard);
    if (focusAhead && heard >= msOf(focusStart)) focusAhead = false;
    if (!focusAhead && now && (now->song != focusSong || now->start != focusStart)) {
        focusSong = now->song;
        focusStart = now->start;
        focusFrom = now->from;
    }
    if (focusSong != announced) announce();
    applySeek();
    queueAhead();
    timelineUpdate(showSoundPosition());
    for (Scored& s : scored)
        if (s.score && s.song != focusSong && !timelineUses(s.score)) {
            stopLiveScore(s.score);
            s.score = nullptr;
        }
}

void nextSong() {
    const int next = neighbour(focusSong, 1);
    if (next < 0) return;
    announced = -1;  // the same song again (a one-song loop) is announced too
    playAt(next, 0);
}

void previousSong() {
    announced = -1;
    if (songPositionMs() > restartAfterMs) {
        playAt(focusSong, 0);
        return;
    }
    const int before = neighbour(focusSong, -1);
    playAt(before < 0 ? focusSong : before, 0);
}

void seekBy(int32_t ms) {
    pendingSeekMs += ms;
    seekWaiting = true;
}

void seekTo(int64_t ms) {
    pendingSeekMs = ms - songPositionMs();
    seekWaiting = true;
}

void setPaused(bool pause) {
    holding = pause;
    if (!pause) stopped = false;
    stateSerial++;
    showPause(pause);
}

bool paused() { return holding; }

void stopSong() {
    seekTo(0);
    setPaused(true);
    stopped = true;
    stateSerial++;
}

void playFileNow(const std::string& path) {
    const int at = focusSong + 1;
    songs.insert(songs.begin() + at, path);
    for (Scored& s : scored)
        if (s.score && s.song >= at) s.song++;
    timelineSongInserted(at);
    announced = -1;
    playAt(at, 0);
}

int64_t songPositionMs() {
    const int32_t heard = showSoundPosition();
    const int64_t into = focusAhead ? 0 : std::max<int64_t>(0, heard - msOf(focusStart));
    return msOf(focusFrom) + into;
}

void setVolume(int v) {
    soundVolume = std::max(0, std::min(255, v));
    stateSerial++;
    showSetVolume(soundVolume);
}

int volume() { return soundVolume; }
void setLoop(bool loop) {
    looping = loop;
    stateSerial++;
}

int songStateSerial() { return stateSerial; }

void setShuffle(bool shuffle) {
    // The songs still to come are shuffled; those played stay where they are.
    if (shuffle && !shuffled && focusSong + 1 < (int)songs.size())
        std::shuffle(songs.begin() + focusSong + 1, songs.end(), std::mt19937(std::random_device()()));
    shuffled = shuffle;
    stateSerial++;
}

MprisState songState() {
    MprisState m;
    const Scored* s = findScored(focusSong);
    m.status = stopped ? "Stopped" : (holding ? "Paused" : "Playing");
    m.volume = soundVolume / 255.0;
    m.loop = looping;
    m.shuffle = shuffled;
    m.canNext = neighbour(focusSong, 1) >= 0;
    m.canPrevious = true;
    if (!s) return m;
    m.trackId = "/org/xoon/track/" + std::to_string(trackSerial);
    m.lengthUs = (int64_t)(songSeconds(*s) * 1e6);
    m.title = s->facts.title.empty() ? fileName(songs[s->song]) : s->facts.title;
    m.artist = s->facts.artist;
    m.album = s->facts.album;
    m.url = s->url;
    m.artUrl = s->artUrl;
    return m;
}
