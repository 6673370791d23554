// Command line: the six selection flags and the help text.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "update/update.h"

UpdateOptions updateOptions;

void PrintHelp() {
    Console_Print("Norvik IO-Link USB Master - SE Firmware Updater\n");
    Console_Print("Command Line Help:\n");
    Console_Print("-? displays the help\n");
    Console_Print("-a (all) actualize firmware instead of ignoring the same revision\n");
    Console_Print("-i (IO-Link) actualize IO-Link stack if separate from main\n");
    Console_Print("-m (Main) actualize main firmware\n");
    Console_Print("-s Show only possible updates\n");
}

namespace {

// The long options that take a value, from the next argument or after "=".
constexpr const char* kValueOptions[] = {"--port"};

// The value option that arg is, spelt alone (so that the next argument is its value).
bool IsBareValueOption(const char* arg) {
    return std::ranges::any_of(kValueOptions,
                               [arg](const char* option) { return std::strcmp(arg, option) == 0; });
}

// "--port=NAME": the value after the "=" of a value option, or nullptr.
const char* InlineValue(const char* arg, const char* option) {
    const size_t length = std::strlen(option);
    return std::strncmp(arg, option, length) == 0 && arg[length] == '=' ? arg + length + 1
                                                                        : nullptr;
}

}  // namespace

// In "--port --port x" the second "--port" is the first one's value, and x stands alone: argv[i]
// is a value when an odd number of bare value options stand right before it.
bool IsOptionValue(int i, const char* const* argv) {
    int run = 0;
    for (int j = i - 1; j >= 1 && argv[j] != nullptr && IsBareValueOption(argv[j]); --j) {
        ++run;
    }
    return run % 2 == 1;
}

bool ParseCommandLine(int argc, const char* const* argv) {
    if (argc <= 1) {
        return false;
    }
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        // The value of --port (a device path, a serial number) is never read as an option.
        if (IsOptionValue(i, argv)) {
            continue;
        }
        // "/?" is how help is asked for on Windows; without a "-" it would otherwise be skipped
        // and the run would write the main firmware of an attached master at once.
        if (arg != nullptr && std::strcmp(arg, "/?") == 0) {
            PrintHelp();
            return true;
        }
        if (arg == nullptr || arg[0] != '-') {
            continue;
        }
        // Only the second character counts (-all acts as -a). Asking for help must never flash a
        // device, so -h and exactly --help are taken as -? too: with the default flags a run that
        // did not recognise them would write the firmware of an attached master at once.
        const char option = arg[1];
        if (option == '?' || option == 'h' || std::strcmp(arg, "--help") == 0) {
            PrintHelp();
            return true;
        }
        switch (option) {
            case 'a':
                updateOptions.mainIfSame = 1;
                updateOptions.stackIfSame = 1;
                break;
            case 'i':
                updateOptions.stackIfSame = 1;
                break;
            case 'm':
                updateOptions.mainIfSame = 1;
                break;
            case 's':
                updateOptions = UpdateOptions{0, 0, 0, 0, 0, 0};
                break;
            default:
                break;  // other letters, or none, are ignored without a message
        }
    }
    return false;
}

RunRequest ParseRunRequest(int argc, const char* const* argv) {
    RunRequest request;
    const auto refuse = [&request](const char* arg, const char* why) {
        if (request.refused == nullptr) {
            request.refused = arg;
            request.refusedWhy = why;
        }
    };
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr || IsOptionValue(i, argv) || std::strncmp(arg, "--", 2) != 0 ||
            std::strcmp(arg, "--help") == 0) {
            continue;
        }
        const char* port = InlineValue(arg, "--port");
        if (IsBareValueOption(arg)) {
            port = i + 1 < argc ? argv[i + 1] : nullptr;
        }
        if (std::strcmp(arg, "--version") == 0) {
            request.version = true;
        } else if (std::strcmp(arg, "--list") == 0) {
            request.list = true;
        } else if (std::strcmp(arg, "--exit-code") == 0) {
            request.exitCode = true;
        } else if ((IsBareValueOption(arg) && port == nullptr) ||
                   (port != nullptr && port[0] == '\0')) {
            refuse(arg, "needs the port, device path or USB serial number of a master after it");
        } else if (port != nullptr && request.port != nullptr &&
                   std::strcmp(port, request.port) != 0) {
            // Two masters named: which one was meant cannot be guessed.
            refuse(arg, "names a second master; name one master per run");
        } else if (port != nullptr) {
            request.port = port;
        } else {
            // A misspelt request ("--versoin", "--lsit") must not fall through to a default run,
            // which writes the main firmware of an attached master.
            refuse(arg, "unknown option");
        }
    }
    return request;
}
