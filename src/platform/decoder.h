// The one audio decoder of the project: any file FFmpeg reads (Ogg Vorbis, Opus, FLAC,
// MP3, WAV, AAC, the audio track of a video), streamed as float frames at a chosen rate
// and channel count.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

struct AudioDecoder;

// Opens a file's best audio track for reading as interleaved float frames at rate Hz with
// 1 (mixed down) or 2 channels. On failure returns null and sets *error to a short reason
// ("No such file or directory", "is a folder", "is empty", "not an audio file", "no audio
// track"). A pipe or a device is read as it comes: only a regular file can be empty.
// Opening reads only the file's head; callable on any thread.
AudioDecoder* openAudioDecoder(const char* path, int rate, int channels, std::string* error);
// The same on bytes in memory (tests and fuzzers); the bytes must outlive the decoder.
AudioDecoder* openAudioDecoderMemory(const uint8_t* bytes, size_t size, int rate, int channels,
                                     std::string* error);
// Reads up to maxFrames frames (maxFrames x channels floats) into out; returns how many.
// 0 means the end: of the audio, or of what could be decoded of a damaged file. Rate,
// channels and sample format may change along the file (chained Ogg): output stays as asked.
int readAudioFrames(AudioDecoder* decoder, float* out, int maxFrames);
// Positions the decoder so that the next frame read is the song's frame `frame` (at the
// rate asked), to within the container's timestamps. False, with nothing moved, when the
// input cannot seek (a pipe): the caller reads up to there instead.
bool seekAudioDecoder(AudioDecoder* decoder, int64_t frame);
// A tag of the song ("title", "artist", "album"), the file's or its audio track's, any
// case; empty when it has none.
std::string audioTag(const AudioDecoder* decoder, const char* name);
// The cover art the file holds (its attached picture): the image's bytes and the usual
// file name extension ("jpg", "png"). False when it holds none.
bool audioCoverArt(const AudioDecoder* decoder, std::string* bytes, std::string* extension);
// The length the container states, in seconds; 0 when it states none.
double audioDurationSeconds(const AudioDecoder* decoder);
void closeAudioDecoder(AudioDecoder* decoder);
// Versions of the decoding libraries, one number: a change may change decoded samples.
uint64_t audioDecoderVersion();
