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
// track").
// Opening reads only the file's head; callable on any thread.
AudioDecoder* openAudioDecoder(const char* path, int rate, int channels, std::string* error);
// The same on bytes in memory (tests and fuzzers); the bytes must outlive the decoder.
AudioDecoder* openAudioDecoderMemory(const uint8_t* bytes, size_t size, int rate, int channels,
                                     std::string* error);
// Reads up to maxFrames frames (maxFrames x channels floats) into out; returns how many.
// 0 means the end: of the audio, or of what could be decoded of a damaged file. Rate,
// channels and sample format may change along the file (chained Ogg): output stays as asked.
int readAudioFrames(AudioDecoder* decoder, float* out, int maxFrames);
// The length the container states, in seconds; 0 when it states none.
double audioDurationSeconds(const AudioDecoder* decoder);
void closeAudioDecoder(AudioDecoder* decoder);
// Versions of the decoding libraries, one number: a change may change decoded samples.
uint64_t audioDecoderVersion();
