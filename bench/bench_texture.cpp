// Loading a 4096 x 2048 image with its mipmap chain: our loader against gluBuild2DMipmaps.
#include <benchmark/benchmark.h>
#include <SDL.h>
#include <SDL_image.h>
#include <GL/gl.h>
#include <GL/glu.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "gfx/mipmap.h"
#include "gfx/texture.h"
#include "gfx/video.h"

namespace {

constexpr int imageWidth = 4096, imageHeight = 2048;  // 32 MB of pixels
constexpr uint32_t storedBlockBytes = 65535;           // the most one stored deflate block holds

std::vector<uint32_t> makePixels() {
    std::vector<uint32_t> pixels((size_t)imageWidth * imageHeight);
    uint32_t noise = 1;
    for (int y = 0; y < imageHeight; y++)
        for (int x = 0; x < imageWidth; x++) {
            noise = noise * 1664525u + 1013904223u;
            const uint32_t alpha = (x / 64 + y / 64) % 5 == 0 ? 0 : (x + y) & 0xFF;
            pixels[(size_t)y * imageWidth + x] = (x & 0xFF) | (y & 0xFF) << 8 | (noise >> 24) << 16 | alpha << 24;
        }
    return pixels;
}

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0) {
    static uint32_t table[256];
    if (!table[1])
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
    crc = ~crc;
    for (size_t i = 0; i < size; i++) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

void putBig32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += (char)(v >> shift);
}

void putChunk(std::string& out, const char* type, const std::string& data) {
    putBig32(out, (uint32_t)data.size());
    const std::string typed = type + data;
    out += typed;
    putBig32(out, crc32(reinterpret_cast<const uint8_t*>(typed.data()), typed.size()));
}

// A PNG with stored (uncompressed) deflate blocks: no compression library needed, and both
// contenders pay the same decoding cost.
std::string encodePng(const std::vector<uint32_t>& pixels) {
    std::string raw;
    raw.reserve((size_t)imageHeight * (imageWidth * 4 + 1));
    for (int y = 0; y < imageHeight; y++) {
        raw += '\0';  // filter type none
        raw.append(reinterpret_cast<const char*>(&pixels[(size_t)y * imageWidth]), (size_t)imageWidth * 4);
    }
    std::string z = "\x78\x01";
    uint32_t a = 1, b = 0;  // Adler-32 of the raw bytes
    for (size_t at = 0; at < raw.size(); at += storedBlockBytes) {
        const uint32_t length = raw.size() - at < storedBlockBytes ? (uint32_t)(raw.size() - at) : storedBlockBytes;
        z += (char)(at + length == raw.size() ? 1 : 0);
        z += (char)(length & 0xFF);
        z += (char)(length >> 8);
        z += (char)(~length & 0xFF);
        z += (char)((~length >> 8) & 0xFF);
        z.append(raw, at, length);
        for (uint32_t i = 0; i < length; i++) {
            a = (a + (uint8_t)raw[at + i]) % 65521;
            b = (b + a) % 65521;
        }
    }
    putBig32(z, b << 16 | a);
    std::string header;
    putBig32(header, imageWidth);
    putBig32(header, imageHeight);
    header += std::string("\x08\x06\x00\x00\x00", 5);  // 8 bits, RGBA, deflate, no filter, no interlace
    std::string png = "\x89PNG\r\n\x1a\n";
    putChunk(png, "IHDR", header);
    putChunk(png, "IDAT", z);
    putChunk(png, "IEND", "");
    return png;
}

struct Setup {
    std::string path;
    std::vector<uint32_t> pixels;
    GLuint texture = 0;
    Setup() {
        pixels = makePixels();
        const char* tmp = getenv("TMPDIR");
        std::string name = std::string(tmp && *tmp ? tmp : P_tmpdir) + "/bench_texture_XXXXXX.png";
        const int fd = mkstemps(&name[0], 4);
        const std::string png = encodePng(pixels);
        if (fd < 0 || write(fd, png.data(), png.size()) != (ssize_t)png.size()) abort();
        close(fd);
        path = name;
        if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_NOPARACHUTE) < 0) {
            fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
            abort();
        }
        setVideoMode(2);
        glGenTextures(1, &texture);
        glBindTexture(GL_TEXTURE_2D, texture);
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

SDL_Surface* loadRgba(const char* path) {
    SDL_Surface* loaded = IMG_Load(path);
    SDL_PixelFormat rgba = {};
    rgba.BitsPerPixel = 32;
    rgba.BytesPerPixel = 4;
    rgba.Gshift = 8;
    rgba.Bshift = 16;
    rgba.Ashift = 24;
    rgba.Rmask = 0xFF;
    rgba.Gmask = 0xFF00;
    rgba.Bmask = 0xFF0000;
    rgba.Amask = 0xFF000000u;
    SDL_Surface* converted = SDL_ConvertSurface(loaded, &rgba, 0);
    SDL_FreeSurface(loaded);
    return converted;
}

void uploadLevel(void*, int32_t level, int32_t width, int32_t height, const uint32_t* texels) {
    glTexImage2D(GL_TEXTURE_2D, level, GL_RGBA, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE, texels);
}

// Whole loads from the file: decoding, conversion, level 0 and the chain.
void loadOurs(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        loadTextureImage(s.path.c_str(), 0);
        glFinish();
    }
}

void loadGlu(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        SDL_Surface* image = loadRgba(s.path.c_str());
        SDL_LockSurface(image);
        gluBuild2DMipmaps(GL_TEXTURE_2D, GL_RGBA, image->w, image->h, GL_RGBA, GL_UNSIGNED_BYTE, image->pixels);
        SDL_UnlockSurface(image);
        SDL_FreeSurface(image);
        glFinish();
    }
}

// The chain alone from pixels in memory, level 0 uploaded by both.
void chainOurs(benchmark::State& state) {
    Setup& s = setup();
    std::vector<uint32_t> pixels(s.pixels.size());
    for (auto _ : state) {
        state.PauseTiming();  // the builder uses its pixels up
        pixels = s.pixels;
        state.ResumeTiming();
        clearTransparentPixels(pixels.data(), pixels.size());
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, imageWidth, imageHeight, 0, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
        void* scratch = malloc(mipmapScratchBytes(imageWidth, imageHeight));
        buildMipmapsOverImage(pixels.data(), imageWidth, imageHeight, scratch, uploadLevel, nullptr);
        free(scratch);
        glFinish();
    }
}

void chainGlu(benchmark::State& state) {
    Setup& s = setup();
    std::vector<uint32_t> pixels(s.pixels.size());
    for (auto _ : state) {
        state.PauseTiming();  // as fresh in the cache as ours
        pixels = s.pixels;
        state.ResumeTiming();
        gluBuild2DMipmaps(GL_TEXTURE_2D, GL_RGBA, imageWidth, imageHeight, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
        glFinish();
    }
}

// Prints the usual table, then how many times as long gluBuild2DMipmaps takes as ours, on the
// medians of the repetitions, in wall time and in CPU time (the machine may be shared).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    std::map<std::string, benchmark::BenchmarkReporter::Run> medians;
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians[run.run_name.function_name] = run;
    }
};

constexpr int repetitions = 5;

}  // namespace

BENCHMARK(loadOurs)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(repetitions)->ReportAggregatesOnly();
BENCHMARK(loadGlu)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(repetitions)->ReportAggregatesOnly();
BENCHMARK(chainOurs)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(repetitions)->ReportAggregatesOnly();
BENCHMARK(chainGlu)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(repetitions)->ReportAggregatesOnly();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const char* what[] = {"load: the whole load from the PNG file",
                          "chain: level 0 and the mipmap chain from decoded pixels"};
    int k = 0;
    for (const char* pair : {"load", "chain"}) {
        const auto ours = reporter.medians.find(std::string(pair) + "Ours");
        const auto glu = reporter.medians.find(std::string(pair) + "Glu");
        if (ours != reporter.medians.end() && glu != reporter.medians.end())
            printf("%s; gluBuild2DMipmaps takes %.2f times as long as ours in wall time, %.2f in CPU time\n",
                   what[k], glu->second.GetAdjustedRealTime() / ours->second.GetAdjustedRealTime(),
                   glu->second.GetAdjustedCPUTime() / ours->second.GetAdjustedCPUTime());
        k++;
    }
    unlink(setup().path.c_str());
    benchmark::Shutdown();
    return 0;
}
