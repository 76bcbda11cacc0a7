// The mipmap chain of the show's font atlas and of one large image: ours against
// gluBuild2DMipmaps, both from pixels in memory, both uploading every level.
#include <benchmark/benchmark.h>
#include <SDL.h>
#include <GL/gl.h>
#include <GL/glu.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/draw.h"
#include "platform/mipmap.h"
#include "platform/window.h"

namespace {

constexpr int largeWidth = 4096, largeHeight = 2048;  // 32 MB of pixels

// Noise with holes of full transparency, as a worst case for neither builder.
std::vector<uint32_t> makePixels(int width, int height) {
    std::vector<uint32_t> pixels((size_t)width * height);
    uint32_t noise = 1;
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            noise = noise * 1664525u + 1013904223u;
            const uint32_t alpha = (x / 64 + y / 64) % 5 == 0 ? 0 : (x + y) & 0xFF;
            pixels[(size_t)y * width + x] = (x & 0xFF) | (y & 0xFF) << 8 | (noise >> 24) << 16 | alpha << 24;
        }
    return pixels;
}

void openContext() {
    static bool open = false;
    if (open) return;
    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_NOPARACHUTE) < 0) {
        fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
        abort();
    }
    setVideoMode(DisplayMode::window);
    GLuint texture;
    glGenTextures(1, &texture);
    glBindTexture(GL_TEXTURE_2D, texture);
    open = true;
}

void uploadLevel(void*, int32_t level, int32_t width, int32_t height, const uint32_t* texels) {
    glTexImage2D(GL_TEXTURE_2D, level, GL_RGBA, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels);
}

// Level 0 and the chain, as the loader does it.
void chainOurs(benchmark::State& state) {
    openContext();
    const int width = (int)state.range(0), height = (int)state.range(1);
    const std::vector<uint32_t> source = makePixels(width, height);
    std::vector<uint32_t> pixels(source.size());
    for (auto _ : state) {
        pixels = source;
        clearTransparentPixels(pixels.data(), pixels.size());
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
        void* scratch = malloc(mipmapScratchBytes(width, height));
        buildMipmaps(pixels.data(), width, height, scratch, uploadLevel, nullptr);
        free(scratch);
        glFinish();
    }
}

void chainGlu(benchmark::State& state) {
    openContext();
    const int width = (int)state.range(0), height = (int)state.range(1);
    const std::vector<uint32_t> source = makePixels(width, height);
    std::vector<uint32_t> pixels(source.size());
    for (auto _ : state) {
        pixels = source;  // as fresh in the cache as ours
        gluBuild2DMipmaps(GL_TEXTURE_2D, GL_RGBA, width, height, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
        glFinish();
    }
}

}  // namespace

// The first pass over a large image pays for fresh pages: medians of five runs.
constexpr int repetitions = 5;
BENCHMARK(chainOurs)->Args({fontAtlasWidth, fontAtlasHeight})->Args({largeWidth, largeHeight})
    ->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(repetitions)->ReportAggregatesOnly();
BENCHMARK(chainGlu)->Args({fontAtlasWidth, fontAtlasHeight})->Args({largeWidth, largeHeight})
    ->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(repetitions)->ReportAggregatesOnly();

BENCHMARK_MAIN();
