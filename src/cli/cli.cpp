// The command-line conventions every xOOn program shares.
#include "cli/cli.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static const char* programName = "xoon";  // the show's, until a program names itself
static const char* usageText = "";
static bool named = false;
static bool progressOpen = false;

// getopt_long's value for --version, which no program lists itself.
constexpr int versionOption = 0x10000;

void cliStart(const char* program, const char* usage) {
    programName = program;
    usageText = usage;
    named = true;
}

bool cliNamed() { return named; }

static void vprintLine(const char* format, va_list args) {
    char text[1024];
    vsnprintf(text, sizeof text, format, args);
    cliProgressDone();
    fprintf(stderr, "%s: %s\n", programName, text);
}

void cliUsageError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintLine(format, args);
    va_end(args);
    fputs(usageText, stderr);
    exit(cliStatusUsage);
}

void cliFail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintLine(format, args);
    va_end(args);
    exit(cliStatusFailure);
}

[[noreturn]] static void printVersion() {
    printf("%s (xOOn 2009) %s\n%s\n%s\n", programName, XOON_VERSION, XOON_COPYRIGHT, XOON_LICENCE);
    exit(0);
}

// The program's long options and --version, made once per table.
static const option* withVersion(const option* longOptions) {
    static const option* madeFrom = nullptr;
    static std::vector<option> all;
    if (madeFrom != longOptions) {
        all.clear();
        for (const option* o = longOptions; o->name; o++) all.push_back(*o);
        all.push_back({"version", no_argument, nullptr, versionOption});
        all.push_back({});
        madeFrom = longOptions;
    }
    return all.data();
}

// The long option a word names ("--name" or "--name=value", the name maybe shortened):
// null when none or several do (count says which, candidates names them).
static const option* findLongOption(const char* word, const option* longOptions, int* count,
                                    std::string* candidates) {
    const char* name = word + 2;
    const size_t length = strcspn(name, "=");
    const option* found = nullptr;
    *count = 0;
    for (const option* o = longOptions; o->name; o++) {
        if (strncmp(o->name, name, length) != 0) continue;
        if (strlen(o->name) == length) {  // an exact name is never ambiguous
            *count = 1;
            return o;
        }
        *candidates += std::string(*count ? ", --" : "--") + o->name;
        found = o;
        ++*count;
    }
    return *count == 1 ? found : nullptr;
}

int cliOption(int argc, char** argv, const char* shortOptions, const option* longOptions) {
    // A leading ':' has getopt_long tell a missing value from an unknown option, and say
    // nothing itself: the messages are ours, named after the program, not argv[0].
    const std::string quiet = std::string(":") + shortOptions;
    const option* all = withVersion(longOptions);
    opterr = 0;
    const int c = getopt_long(argc, argv, quiet.c_str(), all, nullptr);
    if (c == 'h') {
        fputs(usageText, stdout);
        exit(0);
    }
    if (c == versionOption) printVersion();
    if (c != '?' && c != ':') return c;

    // A long option's word is the last one getopt_long took. A short option may stand in
    // a word it has not finished with (-x.mp3), so it is named by its letter alone.
    const char* word = optind > 0 && optind <= argc ? argv[optind - 1] : "";
    int count = 0;
    std::string candidates;
    const option* longOption = nullptr;
    if (strncmp(word, "--", 2) == 0 && word[2] != 0)
        longOption = findLongOption(word, all, &count, &candidates);
    const std::string typed(word, strcspn(word, "="));
    if (c == ':') {  // only ever the last word
        if (longOption) cliUsageError("--%s needs a value", longOption->name);
        cliUsageError("-%c needs a value", optopt);
    }
    // optopt is 0 for a long option getopt_long cannot name, and the option's value for
    // one given a value it does not take ("--name=value"); else it is a short option.
    if (optopt == 0) {
        if (count > 1) cliUsageError("%s is ambiguous: %s?", typed.c_str(), candidates.c_str());
        cliUsageError("unknown option %s", typed.c_str());
    }
    const char* value = strchr(word, '=');
    if (longOption && longOption->has_arg == no_argument && longOption->val == optopt && value)
        cliUsageError("--%s takes no value, not '%s'", longOption->name, value + 1);
    cliUsageError("unknown option -%c", optopt);
}

void cliWarn(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintLine(format, args);
    va_end(args);
}

bool cliShowsProgress() { return isatty(STDERR_FILENO) == 1; }

void cliProgress(const char* format, ...) {
    if (!cliShowsProgress()) return;
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    // Padded so that a shorter line covers a longer one before it.
    fprintf(stderr, "\r%s: %-60s", programName, text);
    fflush(stderr);
    progressOpen = true;
}

void cliProgressDone() {
    if (!progressOpen) return;
    fputc('\n', stderr);
    progressOpen = false;
}

bool cliParseDouble(const char* text, double* value) {
    char* end;
    errno = 0;
    *value = strtod(text, &end);
    return errno == 0 && end != text && *end == 0 && std::isfinite(*value);
}

bool cliParseLong(const char* text, long* value) {
    char* end;
    errno = 0;
    *value = strtol(text, &end, 10);
    return errno == 0 && end != text && *end == 0;
}
