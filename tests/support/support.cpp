// Shared test helpers.
#include "support/support.h"

#include <SDL.h>
#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vorbis/vorbisfile.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/window.h"

void openGlWindow() {
    if (SDL_WasInit(SDL_INIT_VIDEO)) return;
    // A busy test server may turn a connection away for a moment: try again for a while.
    for (int attempt = 0; SDL_Init(SDL_INIT_VIDEO | SDL_INIT_NOPARACHUTE) < 0; attempt++) {
        if (attempt == 50) throw std::runtime_error(std::string("SDL_Init: ") + SDL_GetError());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    setVideoMode(DisplayMode::window);
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& cwd,
                         const std::vector<std::string>& env, double timeoutSeconds,
                         const std::function<void(pid_t)>& whileRunning) {
    ProcessResult result;
    std::string outPath = makeScratchDir("proc") + "/out";
    std::string errPath = outPath.substr(0, outPath.size() - 3) + "err";
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        for (const std::string& e : env) {
            size_t eq = e.find('=');
            std::string name = e.substr(0, eq), value = e.substr(eq + 1);
            if (value.empty()) unsetenv(name.c_str());
            else setenv(name.c_str(), value.c_str(), 1);
        }
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    std::thread helper;
    if (whileRunning) helper = std::thread(whileRunning, pid);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > timeoutSeconds) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (helper.joinable()) helper.join();
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

std::string makeScratchDir(const std::string& name) {
    static int counter = 0;
    std::string base = std::string(XOON_BUILD_DIR) + "/tests/scratch";
    mkdir(base.c_str(), 0755);
    std::string dir = base + "/" + name + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) throw std::runtime_error("cannot clear " + dir);
    if (mkdir(dir.c_str(), 0755) != 0) throw std::runtime_error("cannot make " + dir);
    return dir;
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f << bytes;
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void copyFile(const std::string& from, const std::string& to) { writeFile(to, readFile(from)); }

void writePng(const std::string& path, int w, int h, int colourType, int depth, bool interlaced,
              const std::vector<std::string>& rows, const std::vector<png_color>& palette) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot write " + path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        fclose(f);
        throw std::runtime_error("libpng failed on " + path);
    }
    png_init_io(png, f);
    png_set_compression_level(png, 1);
    png_set_IHDR(png, info, w, h, depth, colourType,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!palette.empty()) png_set_PLTE(png, info, palette.data(), (int)palette.size());
    png_write_info(png, info);
    std::vector<png_bytep> pointers;
    for (const std::string& r : rows) pointers.push_back((png_bytep)r.data());
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    fclose(f);
}

void writePngRgba(const std::string& path, int width, int height, const uint8_t* rgba) {
    png_image png = {};
    png.version = PNG_IMAGE_VERSION;
    png.width = (png_uint_32)width;
    png.height = (png_uint_32)height;
    png.format = PNG_FORMAT_RGBA;
    if (!png_image_write_to_file(&png, path.c_str(), 0, rgba, 0, nullptr))
        throw std::runtime_error("cannot write " + path + ": " + png.message);
}

std::string binPath(const std::string& name) {
    if (name == "xoon") return std::string(XOON_RUN_DIR) + "/xoon";
    return std::string(XOON_BIN_DIR) + "/" + name;
}

std::string systemProgram(const std::string& name) {
    const std::string path = getenv("PATH") ? getenv("PATH") : "";
    for (size_t at = 0; at <= path.size();) {
        size_t end = path.find(':', at);
        if (end == std::string::npos) end = path.size();
        const std::string candidate = path.substr(at, end - at) + "/" + name;
        if (end > at && access(candidate.c_str(), X_OK) == 0) return candidate;
        at = end + 1;
    }
    return name;
}

void makeTestSong(const std::string& path, double seconds, int rate, int channels, int serial) {
    ProcessResult r = runProcess({binPath("xoon-testsong"), path, "--seconds", std::to_string(seconds),
                                  "--rate", std::to_string(rate), "--channels", std::to_string(channels),
                                  "--serial", std::to_string(serial)},
                                 "", {}, 60);
    if (r.status != 0) throw std::runtime_error("xoon-testsong failed: " + r.err);
}

char processState(pid_t pid) {
    char path[32] = "/proc/", digits[16];
    int n = 0, at = 6;
    for (pid_t p = pid; p > 0; p /= 10) digits[n++] = (char)('0' + p % 10);
    while (n > 0) path[at++] = digits[--n];
    memcpy(path + at, "/stat", 6);
    char buffer[512];
    const int fd = open(path, O_RDONLY);
    if (fd < 0) return 0;
    const ssize_t got = read(fd, buffer, sizeof buffer);
    close(fd);
    for (ssize_t i = got - 1; i > 0; i--)  // the state follows the last ')': names may hold one
        if (buffer[i] == ')') return i + 2 < got ? buffer[i + 2] : 0;
    return 0;
}

double decodableSeconds(const std::string& path) {
    OggVorbis_File f;
    if (ov_fopen(path.c_str(), &f) != 0) return 0;
    double seconds = 0;
    for (;;) {
        float** pcm;
        int link;
        const long got = ov_read_float(&f, &pcm, 4096, &link);
        if (got == OV_HOLE) continue;
        if (got <= 0) break;
        seconds += (double)got / ov_info(&f, link)->rate;
    }
    ov_clear(&f);
    return seconds;
}

std::string makeShowFolder(const std::string& name, double songSeconds) {
    const std::string dir = makeScratchDir(name);
    copyFile(std::string(XOON_RUN_DIR) + "/fona.png", dir + "/fona.png");
    makeTestSong(dir + "/xoon09.ogg", songSeconds);
    return dir;
}
