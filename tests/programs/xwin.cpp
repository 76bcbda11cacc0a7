// xoon-xwin: asks a window found by its caption to close, or grabs what it shows, over X;
// the end-to-end tests drive the running show with it.
#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "cli/cli.h"

constexpr double defaultWaitSeconds = 10.0;
constexpr int pollIntervalMs = 20;
// A busy X server may refuse a connection made right after another one; try again a while.
constexpr int connectAttempts = 50;
constexpr int connectRetryMs = 100;

static const char usage[] =
    "Usage: xoon-xwin wait CAPTION [options]\n"
    "       xoon-xwin close CAPTION [options]\n"
    "       xoon-xwin grab CAPTION OUT.ppm [options]\n"
    "Finds the viewable top-level window with exactly this caption on the X display, then:\n"
    "wait prints its id; close sends it WM_DELETE_WINDOW, as a window manager does; grab\n"
    "writes the pixels it shows as a binary PPM.\n"
    "\n"
    "  --pid PID      only a window of this process (_NET_WM_PID), to tell shows apart\n"
    "  --wait SECONDS how long to wait for the window (default 10)\n"
    "  -h, --help     this text\n";

static long windowPid(Display* display, Window window) {
    const Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                           &data) == Success && data) {
        if (type == XA_CARDINAL && format == 32 && count == 1) pid = *(long*)data;
        XFree(data);
    }
    return pid;
}

static bool isTheWindow(Display* display, Window window, const char* caption, long pid) {
    char* name = nullptr;
    if (!XFetchName(display, window, &name) || !name) return false;
    const bool same = strcmp(name, caption) == 0;
    XFree(name);
    if (!same) return false;
    if (pid >= 0 && windowPid(display, window) != pid) return false;
    XWindowAttributes attributes;
    return XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable;
}

// Depth-first over the whole tree: without a window manager the caption sits on a child
// of the root, with one it sits deeper inside the manager's frame.
static Window findWindow(Display* display, Window under, const char* caption, long pid) {
    if (isTheWindow(display, under, caption, pid)) return under;
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, under, &root, &parent, &children, &count)) return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; i++) found = findWindow(display, children[i], caption, pid);
    if (children) XFree(children);
    return found;
}

static Window waitForWindow(Display* display, const char* caption, long pid, double seconds) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        Window w = findWindow(display, DefaultRootWindow(display), caption, pid);
        if (w) return w;
        if (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > seconds) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(pollIntervalMs));
    }
}

// False when the window does not take close requests.
static bool closeWindow(Display* display, Window window) {
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    Atom* offered = nullptr;
    int count = 0;
    bool takesDelete = false;
    if (XGetWMProtocols(display, window, &offered, &count)) {
        for (int i = 0; i < count; i++) takesDelete |= offered[i] == deleteWindow;
        XFree(offered);
    }
    if (!takesDelete) return false;
    XEvent event;
    memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = protocols;
    event.xclient.format = 32;
    event.xclient.data.l[0] = (long)deleteWindow;
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    return true;
}

// Bit position of a mask's lowest set bit and the mask's width, for any TrueColor layout.
static void maskShape(unsigned long mask, int& shift, int& bits) {
    shift = 0;
    while (mask && !(mask & 1)) mask >>= 1, shift++;
    bits = 0;
    while (mask & 1) mask >>= 1, bits++;
}

static int channelByte(unsigned long pixel, unsigned long mask) {
    int shift, bits;
    maskShape(mask, shift, bits);
    if (bits == 0) return 0;
    const unsigned long value = (pixel & mask) >> shift;
    return (int)(value * 255 / ((1ul << bits) - 1));
}

constexpr int repaintWaitMs = 100;  // a running show redraws well within this

// Reads the screen where the window stands, so that whatever its children show is included;
// raised first, since windows without a manager all stand at the same place.
static void grabWindow(Display* display, Window window, const char* path) {
    XRaiseWindow(display, window);
    XSync(display, False);
    std::this_thread::sleep_for(std::chrono::milliseconds(repaintWaitMs));
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, window, &attributes)) cliFail("cannot grab the window: it has gone");
    const Window root = DefaultRootWindow(display);
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child);
    XImage* image = XGetImage(display, root, x, y, attributes.width, attributes.height, AllPlanes, ZPixmap);
    if (!image) cliFail("cannot grab the window: the server gives no pixels");
    FILE* out = fopen(path, "wb");
    if (!out) cliFail("cannot write %s: %s", path, strerror(errno));
    fprintf(out, "P6\n%d %d\n255\n", attributes.width, attributes.height);
    for (int row = 0; row < attributes.height; row++)
        for (int column = 0; column < attributes.width; column++) {
            const unsigned long pixel = XGetPixel(image, column, row);
            const unsigned char rgb[3] = {(unsigned char)channelByte(pixel, image->red_mask),
                                          (unsigned char)channelByte(pixel, image->green_mask),
                                          (unsigned char)channelByte(pixel, image->blue_mask)};
            fwrite(rgb, 1, 3, out);
        }
    XDestroyImage(image);
    if (fclose(out) != 0) cliFail("cannot write %s: %s", path, strerror(errno));
}

// Windows may go away while the tree is walked (the show ending, say): such errors are
// not fatal here, the walk just finds nothing there.
static int ignoreXError(Display*, XErrorEvent*) { return 0; }

int main(int argc, char** argv) {
    cliStart("xoon-xwin", usage);
    static const option longOptions[] = {{"pid", required_argument, nullptr, 'p'},
                                         {"wait", required_argument, nullptr, 'w'},
                                         {"help", no_argument, nullptr, 'h'},
                                         {}};
    long pid = -1;
    double seconds = defaultWaitSeconds;
    for (int c; (c = cliOption(argc, argv, "h", longOptions)) != -1;) {
        if (c == 'p' && (!cliParseLong(optarg, &pid) || pid < 1))
            cliUsageError("--pid wants a process id, not '%s'", optarg);
        if (c == 'w' && (!cliParseDouble(optarg, &seconds) || seconds < 0))
            cliUsageError("--wait wants seconds, not '%s'", optarg);
    }
    const int operands = argc - optind;
    const std::string command = operands > 0 ? argv[optind] : "";
    if (command != "wait" && command != "close" && command != "grab")
        cliUsageError("give a command: wait, close or grab");
    if (operands != (command == "grab" ? 3 : 2))
        cliUsageError("%s wants a caption%s", command.c_str(), command == "grab" ? " and a file" : "");
    const char* caption = argv[optind + 1];
    const char* outPath = command == "grab" ? argv[optind + 2] : nullptr;

    Display* display = XOpenDisplay(nullptr);
    for (int attempt = 1; !display && attempt < connectAttempts; attempt++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(connectRetryMs));
        display = XOpenDisplay(nullptr);
    }
    if (!display) cliFail("cannot open the display %s", XDisplayName(nullptr));
    XSetErrorHandler(ignoreXError);
    const Window window = waitForWindow(display, caption, pid, seconds);
    if (!window) cliFail("no window \"%s\"%s within %g s", caption, pid > 0 ? " of that process" : "", seconds);
    if (command == "wait") printf("%lu\n", (unsigned long)window);
    else if (command == "close" && !closeWindow(display, window))
        cliFail("cannot close \"%s\": the window takes no WM_DELETE_WINDOW", caption);
    else if (command == "grab") grabWindow(display, window, outPath);
    XCloseDisplay(display);
    return 0;
}
