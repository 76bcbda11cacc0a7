// The command-line and error habits every xOOn program shares: options through getopt_long,
// --help on standard output, usage errors (status 2), failures (status 1), warnings, and
// progress lines that only a terminal gets. Every line names the program.
#pragma once
#include <getopt.h>

constexpr int cliStatusFailure = 1;
constexpr int cliStatusUsage = 2;

// Names the program for its messages and gives the text --help prints. Call first in main.
// The show itself never calls it: its lines say "xoon", and its window failures keep their
// own wording (see cliNamed).
void cliStart(const char* program, const char* usage);
// Whether a program named itself through cliStart.
bool cliNamed();

// getopt_long with the house answers: -h and --help print the usage on standard output and
// exit 0; --version prints the program's name and the project's version on standard output
// and exits 0; an unknown or ambiguous option, a missing value or a value given to an
// option that takes none prints what is wrong (the option as typed) and the usage on
// standard error and exits 2. "--" ends the options. Returns the option's value, or -1 when
// the options are done (operands then stand at argv[optind] on). shortOptions as for
// getopt_long; longOptions must list {"help", no_argument, nullptr, 'h'}, and not
// "version", which every program answers.
int cliOption(int argc, char** argv, const char* shortOptions, const option* longOptions);

// A usage error found by the program itself: "program: message", then the usage, on
// standard error; exits 2.
[[noreturn]] void cliUsageError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A failure: one line "program: message" on standard error, the message being "what: why";
// exits 1.
[[noreturn]] void cliFail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Something went wrong and the program carries on: one line "program: message" on
// standard error. Any thread.
void cliWarn(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A progress line "program: text", rewritten in place; only when standard error is a
// terminal, so logs and pipes get none. cliProgressDone ends the line (on a terminal).
bool cliShowsProgress();
void cliProgress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void cliProgressDone();

// Whole-string numbers: false on anything but a number, or one out of range.
bool cliParseDouble(const char* text, double* value);
bool cliParseLong(const char* text, long* value);
