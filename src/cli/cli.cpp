// The command-line conventions every xOOn program shares.
#include "cli/cli.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

static const char* programName = "xoon";  // the show's, until a program names itself
static const char* usageText = "";
static bool named = false;
static bool progressOpen = false;

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

int cliOption(int argc, char** argv, const char* shortOptions, const option* longOptions) {
    // A leading ':' has getopt_long tell a missing value from an unknown option, and say
    // nothing itself: the messages are ours, named after the program, not argv[0].
    const std::string quiet = std::string(":") + shortOptions;
    opterr = 0;
    const int c = getopt_long(argc, argv, quiet.c_str(), longOptions, nullptr);
    const char* given = optind > 0 && optind <= argc ? argv[optind - 1] : "";
    if (c == 'h') {
        fputs(usageText, stdout);
        exit(0);
    }
    if (c == ':') {
        if (optopt && given[0] == '-' && given[1] != '-') cliUsageError("-%c needs a value", optopt);
        cliUsageError("%s needs a value", given);
    }
    if (c == '?') {
        if (optopt) cliUsageError("unknown option -%c", optopt);
        cliUsageError("unknown option %s", given);
    }
    return c;
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
